#include "installer.h"

#include <cstring>

#include "failure.h"
#include "payload/payload.h"
#include "payload/work_folder.h"

Installer::Installer(HWND window, HMODULE resourceModule, const std::wstring& tempParent) : window(window) {
  try {
    // The payload is located before any folder is made, so a program without one leaves
    // nothing behind.
    const void* data = nullptr;
    const DWORD size = readPayloadResource(kPayloadOffsetResourceId, &data, resourceModule);
    archiveOffset = parseArchiveOffset(data, size);
    if (!data || size == 0) throw Failure("ZIP-archive not present");

    try {
      const void* name = nullptr;
      const DWORD nameSize = readPayloadResource(kSetupNameResourceId, &name, resourceModule);
      if (name && nameSize != 0) {
        // Read up to the zero byte, but never past the resource, whether or not it has one.
        const char* text = static_cast<const char*>(name);
        setupFileName.assign(text, strnlen(text, nameSize));
        noSetupFileName = false;
      }
    } catch (const std::exception&) {
      // No setup file name: the distribution is searched instead.
    }

    createdWorkDir_ = createWorkFolder(tempParent);
    workDir = createdWorkDir_;
    if (!createdWorkDir_.empty()) archiveFolder_ = createWorkFolder(tempParent);
  } catch (const std::exception& e) {
    throw Failure(e.what());
  }
  programFilesDir = readProgramFilesDir();
}

Installer::~Installer() {
  // The task refers to this object: it must have ended before anything goes.
  requestCancel();
  waitForUnpacking();
  removeFolderTree(createdWorkDir_);
  removeFolderTree(archiveFolder_);
}

std::wstring Installer::archivePath() const {
  return archiveFolder_.empty() ? std::wstring() : archiveFolder_ + L"\\" + archiveFileName;
}

void Installer::waitForUnpacking() { unpackTask.wait(); }

