#include "pending_file.h"

#include <cwchar>
#include <stdexcept>

#include "error_report.h"
#include "paths.h"
#include "text.h"

namespace {
// Names already taken (a concurrent build, a left-over of a crash) are skipped; this bounds it.
constexpr unsigned kNameAttempts = 100;
}  // namespace

FileRemoval::~FileRemoval() {
  if (path_.empty()) return;
  const DWORD savedError = GetLastError();
  DeleteFileW(path_.c_str());
  SetLastError(savedError);
}

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

UniqueFile PendingFile::create(const std::wstring& target) {
  const size_t slash = target.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? std::wstring() : target.substr(0, slash + 1);
  // A short name of its own: one made longer from the target's name could break the length
  // limit of a name that the target itself keeps to.
  for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
    wchar_t name[40];
    std::swprintf(name, 40, L"~pm%lx-%u.tmp", GetCurrentProcessId(), attempt);
    const std::wstring candidate = folder + name;
    UniqueFile file(
        CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
      target_ = target;
      removal_.reset(candidate);
      return file;
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return UniqueFile();
}

bool PendingFile::replaceTarget() {
  if (path().empty()) return false;
  if (!MoveFileExW(path().c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return false;
  }
  removal_.keep();
  return true;
}
