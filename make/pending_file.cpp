#include "pending_file.h"

#include <cwchar>

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
