// The folder calls of file_system.h on Windows.
#include "file_system.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "paths.h"

namespace {

FileTime fileTimeOf(const FILETIME& time) {
  return (static_cast<FileTime>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

void describe(const WIN32_FIND_DATAW& found, ListedEntry& entry) {
  entry.name = found.cFileName;
  entry.link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  entry.folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry.size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  entry.written = fileTimeOf(found.ftLastWriteTime);
}

}  // namespace

struct FolderListing::State {
  UniqueFind search;
  WIN32_FIND_DATAW found{};
  bool pending = true;  // `found` holds an entry not handed out yet
};

FolderListing::~FolderListing() { delete state_; }

bool FolderListing::open(const std::wstring& folder, bool& empty) {
  delete state_;
  state_ = new State;
  state_->search.reset(FindFirstFileW(joinPath(folder, L"*").c_str(), &state_->found));
  // A drive root lists no "." entry, so an empty one finds nothing at all.
  empty = !state_->search && GetLastError() == ERROR_FILE_NOT_FOUND;
  return state_->search.valid();
}

bool FolderListing::next(ListedEntry& entry) {
  for (;;) {
    if (!state_ || !state_->search) {
      SetLastError(ERROR_SUCCESS);
      return false;
    }
    if (!state_->pending && !FindNextFileW(state_->search.get(), &state_->found)) {
      if (GetLastError() == ERROR_NO_MORE_FILES) SetLastError(ERROR_SUCCESS);
      return false;
    }
    state_->pending = false;
    const wchar_t* name = state_->found.cFileName;
    if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0))) continue;
    describe(state_->found, entry);
    return true;
  }
}

bool lookThrough(const std::wstring& path, FolderId& id, bool& folder, FileTime& written) {
  UniqueFile handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!handle || !GetFileInformationByHandle(handle.get(), &info)) return false;
  id.volume = info.dwVolumeSerialNumber;
  id.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  written = fileTimeOf(info.ftLastWriteTime);
  return true;
}

// A file-system search for exactly this path finds an entry. Trailing separators are dropped
// first: the search would not find "out\" although "out" exists. A drive root ("E:\", "E:") is
// no entry of any folder, so a search never finds it; its attributes tell that it exists.
bool pathExists(std::wstring path) {
  while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/') && path[path.size() - 2] != L':') {
    path.pop_back();
  }
  WIN32_FIND_DATAW data;
  const UniqueFind find(FindFirstFileW(path.c_str(), &data));
  return find || GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool createFolder(const std::wstring& path) { return CreateDirectoryW(path.c_str(), nullptr); }

void removeFolderAndFiles(const std::wstring& path) {
  const DWORD savedError = GetLastError();
  {
    WIN32_FIND_DATAW found;
    const UniqueFind listing(FindFirstFileW(joinPath(path, L"*").c_str(), &found));
    if (listing) {
      do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW(joinPath(path, found.cFileName).c_str());
      } while (FindNextFileW(listing.get(), &found));
    }
  }
  RemoveDirectoryW(path.c_str());
  SetLastError(savedError);
}

std::wstring environmentVariable(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::vector<wchar_t> text(size);
  const DWORD length = GetEnvironmentVariableW(name, text.data(), size);
  return std::wstring(text.data(), length < size ? length : 0);
}

bool localCivilTime(FileTime time, CivilTime& local) {
  // The zone is read once; its rule for the file's own date decides summer time, as the C
  // library's localtime does.
  static const struct Zone {
    TIME_ZONE_INFORMATION info{};
    bool known = GetTimeZoneInformation(&info) != TIME_ZONE_ID_INVALID;
  } zone;
  FILETIME fileTime;
  fileTime.dwLowDateTime = static_cast<DWORD>(time);
  fileTime.dwHighDateTime = static_cast<DWORD>(time >> 32);
  SYSTEMTIME universal, civil;
  if (!FileTimeToSystemTime(&fileTime, &universal) ||
      !SystemTimeToTzSpecificLocalTime(zone.known ? const_cast<TIME_ZONE_INFORMATION*>(&zone.info) : nullptr,
                                       &universal, &civil)) {
    return false;
  }
  local = CivilTime{civil.wYear, civil.wMonth, civil.wDay, civil.wHour, civil.wMinute, civil.wSecond};
  return true;
}

unsigned long currentProcessId() { return GetCurrentProcessId(); }
