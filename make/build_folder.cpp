#include "build_folder.h"

#include <cstdio>
#include <stdexcept>

#include "error_report.h"
#include "file_io.h"
#include "file_system.h"
#include "paths.h"
#include "text.h"

namespace {
// Names already taken (a concurrent build, a left-over of a crash) are skipped; this bounds it.
constexpr unsigned kNameAttempts = 100;
}  // namespace

BuildFolder::BuildFolder(const std::wstring& parent) {
  unsigned long error = 0;
  for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
    char name[40];
    std::snprintf(name, sizeof name, "pmk%lx-%u.tmp", currentProcessId(), attempt);
    const std::wstring candidate = joinPath(parent, toWide(name));
    if (createFolder(candidate)) {
      path_ = fullPath(candidate);
      return;
    }
    error = lastSystemError();
    if (!meansAlreadyExists(error)) break;
  }
  throw std::runtime_error(toNarrow(L"Can't create a temporary folder in " + parent + L": " + systemReason(error)));
}

BuildFolder::~BuildFolder() { removeFolderAndFiles(path_); }
