#include "file_search.h"

#include "error_report.h"
#include "paths.h"

namespace {

std::wstring currentFolder() {
  const DWORD needed = GetCurrentDirectoryW(0, nullptr);
  if (needed == 0) return {};
  std::wstring folder(needed + 1, L'\0');
  const DWORD length = GetCurrentDirectoryW(needed + 1, folder.data());
  if (length == 0 || length > needed) return {};
  folder.resize(length);
  return folder;
}

// The attributes of a path, of what it leads to when it is a link; INVALID_FILE_ATTRIBUTES with
// the error kept when there is no such entry.
DWORD attributesOf(const std::wstring& path) {
  const std::wstring extended = extendedPath(path);
  const DWORD attributes = GetFileAttributesW(extended.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return attributes;
  UniqueFile target(CreateFileW(extended.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!target || !GetFileInformationByHandle(target.get(), &info)) return INVALID_FILE_ATTRIBUTES;
  return info.dwFileAttributes;
}

bool isMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME;
}

}  // namespace

CurrentDirGuard::CurrentDirGuard(const std::wstring& target) {
  std::wstring current = currentFolder();
  if (!current.empty() && current.back() != L'\\') current += L'\\';
  if (current == target || current == target + L'\\') {
    targetIsCurrent_ = true;
    return;
  }
  if (!current.empty() && SetCurrentDirectoryW(target.c_str())) {
    saved_ = current;
    targetIsCurrent_ = true;
  }
}

CurrentDirGuard::~CurrentDirGuard() {
  if (!saved_.empty()) SetCurrentDirectoryW(saved_.c_str());
}

bool FileSearch::find(const std::wstring& pattern) {
  search_.reset(FindFirstFileW(pattern.c_str(), &data_));
  return search_.valid();
}

bool FileSearch::next() { return search_ && FindNextFileW(search_.get(), &data_); }

std::wstring FileSearch::name() const { return search_ ? std::wstring(data_.cFileName) : std::wstring(); }

std::vector<std::wstring> subfolders(const std::wstring& folder) {
  std::vector<std::wstring> folders;
  WIN32_FIND_DATAW data;
  UniqueFind listing(FindFirstFileW((extendedPath(folder) + L"\\*").c_str(), &data));
  if (!listing) raiseFileSystemError("directory iterator cannot open directory", folder, GetLastError());
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    const DWORD attributes = attributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      if (isMissing(GetLastError())) continue;  // a link that leads nowhere
      raiseFileSystemError("status", path, GetLastError());
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) folders.push_back(path);
  } while (FindNextFileW(listing.get(), &data));
  if (GetLastError() != ERROR_NO_MORE_FILES) raiseFileSystemError("directory iterator cannot advance", folder, GetLastError());
  return folders;
}

bool entryExists(const std::wstring& path) {
  if (attributesOf(path) != INVALID_FILE_ATTRIBUTES) return true;
  if (isMissing(GetLastError())) return false;
  raiseFileSystemError("status", path, GetLastError());
}

bool isFolder(const std::wstring& path) {
  const DWORD attributes = attributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
