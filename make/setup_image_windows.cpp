// The setup program's image on Windows: the stub from this program's resources, the payload
// resources and version strings written by the platform's resource update calls.
#include <windows.h>

#include "console.h"
#include "error_report.h"
#include "failure.h"
#include "file_io.h"
#include "payload_format.h"
#include "resource.h"
#include "resource_update.h"
#include "setup_image.h"
#include "version_strings.h"

namespace {

// Each resource update can move the image's end; a few rounds always settle it.
constexpr int kLayoutRounds = 4;

std::uint64_t fileSizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A failed resource update: its line and the system's report.
bool updateFailed(const char* line) {
  printError(line);
  SystemErrorReport();
  return false;
}

// The archive must start where the payload offset says, after the whole image with all its
// resources. Updating resources can grow the image and move sections, so the offset is taken
// from the finished image and rewritten until it names the image's real end. `output` is a full
// path: the loader would look a relative name up along the DLL search path; messages name
// `shown`. 0 after a reported failure.
std::uint32_t settleArchiveOffset(const std::wstring& output, const std::wstring& shown) {
  for (int round = 0; round < kLayoutRounds; ++round) {
    const std::uint64_t end = fileSizeOf(output);
    if (end == 0 || end >= 0xFFFFFFFFull) break;
    std::string recorded;
    if (const UniqueLibrary image(LoadLibraryExW(output.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)); image) {
      if (HRSRC info = FindResourceW(image.get(), MAKEINTRESOURCEW(kPayloadOffsetResourceId),
                                     MAKEINTRESOURCEW(kPayloadResourceType))) {
        const char* data = static_cast<const char*>(LockResource(LoadResource(image.get(), info)));
        if (data) recorded.assign(data, SizeofResource(image.get(), info));
      }
    }
    const std::string digits = archiveOffsetText(end);
    if (recorded == digits) return static_cast<std::uint32_t>(end);
    ResourceUpdate update(output);
    const char* failure = nullptr;
    if (!update.valid()) {
      failure = "Begin update error";
    } else if (!update.update(kPayloadResourceType, kPayloadOffsetResourceId, kPayloadResourceLanguage, digits.data(),
                                   static_cast<DWORD>(digits.size()))) {
      failure = "Update resource error";
    } else if (!update.commit()) {
      failure = "End update error";
    }
    if (failure) {
      updateFailed(failure);
      return 0;
    }
  }
  printError(L"Can't record where the archive starts in " + shown);
  return 0;
}

bool addPayloadResources(const std::wstring& output, DWORD stubSize, const std::string& setupFileName) {
  ResourceUpdate update(output);
  if (!update.valid()) return updateFailed("Begin update error");
  const std::string digits = archiveOffsetText(stubSize);
  // Without the setup name the program would run in distribution mode instead of the setup file.
  if (!update.update(kPayloadResourceType, kPayloadOffsetResourceId, kPayloadResourceLanguage, digits.data(),
                     static_cast<DWORD>(digits.size())) ||
      (!setupFileName.empty() &&
       !update.update(kPayloadResourceType, kSetupNameResourceId, kPayloadResourceLanguage, setupFileName.c_str(),
                      static_cast<DWORD>(setupFileName.size() + 1)))) {
    return updateFailed("Update resource error");
  }
  if (!update.commit()) return updateFailed("End update error");
  return true;
}

}  // namespace

std::uint32_t writeSetupImage(PendingFile& pending, UniqueFile& file, const std::wstring& output,
                              const ImageRequest& request) {
  HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(IDR_STUB_IMAGE), RT_RCDATA);
  HGLOBAL loaded = info ? LoadResource(nullptr, info) : nullptr;
  const void* stub = loaded ? LockResource(loaded) : nullptr;
  if (!stub) throw Failure("can't find local resources");
  const DWORD stubSize = SizeofResource(nullptr, info);
  if (!writeAll(file.get(), stub, stubSize)) {
    // A short image is no program: the build stops here.
    printSystemError(L"Can't write the setup program image to " + output, GetLastError());
    return 0;
  }
  file.reset();
  const std::wstring path = pending.path();
  if (!addPayloadResources(path, stubSize, request.setupFileName)) return 0;
  if (!setVersionString(path, L"OriginalFilename", request.stem) ||
      !setVersionString(path, L"FileDescription", request.stem) ||
      (!request.setupFileName.empty() && !setVersionString(path, L"ProductName", L"Kelm:Quorda"))) {
    return 0;
  }
  return settleArchiveOffset(path, output);
}
