#pragma once
// Folders as the builder walks and makes them, the same on every platform: file_system.cpp
// implements them for Windows, file_system_posix.cpp for POSIX systems.
#include <cstdint>
#include <string>

#include "handles.h"

// A point in time as Windows keeps file times: 100-nanosecond intervals since 1601-01-01 UTC.
using FileTime = std::uint64_t;

// One entry of a folder listing, as the listing describes it (links not followed).
struct ListedEntry {
  std::wstring name;
  bool folder = false;
  bool link = false;
  std::uint64_t size = 0;
  FileTime written = 0;
  // Outside Windows a name is bytes; one that is not UTF-8 has no `name`, and `unreadableName`
  // shows its bytes ("\xNN" for each that does not decode).
  std::string unreadableName;
};

// The entries of one folder, "." and ".." left out, in the system's listing order.
class FolderListing {
 public:
  FolderListing() = default;
  ~FolderListing();
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  // False when the folder cannot be listed (lastSystemError tells why); `empty` says that it
  // has nothing to list at all (a drive root with no entry lists none, not even ".").
  [[nodiscard]] bool open(const std::wstring& folder, bool& empty);
  // The next entry; false at the end (lastSystemError 0) or on a failure (its code).
  [[nodiscard]] bool next(ListedEntry& entry);

 private:
  struct State;
  State* state_ = nullptr;
};

// A folder's identity on its system, to notice a link that leads back to a folder a walk is
// already inside.
struct FolderId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FolderId&) const = default;
};

// What a path leads to, links followed: its identity, whether it is a folder, and its last write
// time. False when it leads nowhere (a dangling link).
[[nodiscard]] bool lookThrough(const std::wstring& path, FolderId& id, bool& folder, FileTime& written);

// Whether an entry of that path exists, as a search for it finds it (a drive root counts).
[[nodiscard]] bool pathExists(std::wstring path);

// Whether `path` is a folder (links followed); false when it is anything else or nothing.
[[nodiscard]] bool isFolder(const std::wstring& path);

// Creates a folder; false with lastSystemError set when it cannot (meansAlreadyExists tells a
// name that is taken).
[[nodiscard]] bool createFolder(const std::wstring& path);
// Removes the files in a folder (not its sub-folders), then the folder if it is empty then.
void removeFolderAndFiles(const std::wstring& path);

// The value of an environment variable; empty when it is not set.
[[nodiscard]] std::wstring environmentVariable(const wchar_t* name);

// The local civil time of a file time, under the zone's rule for that day.
struct CivilTime {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
[[nodiscard]] bool localCivilTime(FileTime time, CivilTime& local);

// The current process's number.
[[nodiscard]] unsigned long currentProcessId();
