#include "build_folder.h"

#include <windows.h>

#include <cwchar>
#include <stdexcept>

#include "error_report.h"
#include "handles.h"
#include "paths.h"
#include "text.h"

namespace {
// Names already taken (a concurrent build, a left-over of a crash) are skipped; this bounds it.
constexpr unsigned kNameAttempts = 100;
}  // namespace

BuildFolder::BuildFolder(const std::wstring& parent) {
  DWORD error = ERROR_SUCCESS;
  for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
    wchar_t name[40];
    std::swprintf(name, 40, L"pmk%lx-%u.tmp", GetCurrentProcessId(), attempt);
    const std::wstring candidate = joinPath(parent, name);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = fullPath(candidate);
      return;
    }
    error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) break;
  }
  throw std::runtime_error(toNarrow(L"Can't create a temporary folder in " + parent + L": " + systemReason(error)));
}

BuildFolder::~BuildFolder() {
  const DWORD savedError = GetLastError();
  {
    WIN32_FIND_DATAW found;
    const UniqueFind listing(FindFirstFileW(joinPath(path_, L"*").c_str(), &found));
    if (listing) {
      do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW(joinPath(path_, found.cFileName).c_str());
      } while (FindNextFileW(listing.get(), &found));
    }
  }
  RemoveDirectoryW(path_.c_str());
  SetLastError(savedError);
}
