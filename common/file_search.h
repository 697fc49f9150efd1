#pragma once
// The current folder for the length of a scope, and the platform's file search, as the
// installation steps use them to resolve a distribution's relative file names (the builder
// walks folders its own way, for speed: see make/folder_walk.h).
#include <windows.h>

#include <string>
#include <vector>

#include "file_system.h"
#include "handles.h"

// Makes a folder the process's current folder and restores the one it found at the end of its
// scope, on every path. Guards nest, each restoring what it found. Only the worker thread
// changes the current folder, and only through guards.
class CurrentDirGuard {
 public:
  // Switches to `target` unless it is current already. A target that cannot be made current
  // leaves the current folder unchanged, and nothing is restored at the end.
  explicit CurrentDirGuard(const std::wstring& target);
  ~CurrentDirGuard();
  CurrentDirGuard(const CurrentDirGuard&) = delete;
  CurrentDirGuard& operator=(const CurrentDirGuard&) = delete;

  // Whether `target` is the current folder now (it was already, or the switch succeeded).
  [[nodiscard]] bool targetIsCurrent() const { return targetIsCurrent_; }

 private:
  std::wstring saved_;  // the folder to restore, "\" appended; empty when there is none
  bool targetIsCurrent_ = false;
};

// One platform file search (FindFirstFileW/FindNextFileW), closed at the end of its life.
class FileSearch {
 public:
  FileSearch() = default;
  FileSearch(const FileSearch&) = delete;
  FileSearch& operator=(const FileSearch&) = delete;

  // Starts a search for a pattern or a name (relative names in the current folder), closing any
  // earlier one. A name without wildcards tests whether an entry of that name exists, file or
  // folder alike.
  [[nodiscard]] bool find(const std::wstring& pattern);
  // The next entry of the search; false at its end or when none is open.
  [[nodiscard]] bool next();
  // The last entry's name without any folder part; empty when no search is open.
  [[nodiscard]] std::wstring name() const;

 private:
  UniqueFind search_;
  WIN32_FIND_DATAW data_{};
};

// The full paths of the folders in `folder`, in the platform's listing order; links count as
// what they lead to (a link to a folder is a folder, one that leads nowhere is none). Folders of
// any depth can be listed. Raises Failure ("filesystem error: ...") when the folder
// cannot be listed or an entry cannot be examined.
[[nodiscard]] std::vector<std::wstring> subfolders(const std::wstring& folder);

// Whether a file-system entry of that path exists (links followed). Raises Failure
// ("filesystem error: ...") when the platform cannot tell.
[[nodiscard]] bool entryExists(const std::wstring& path);
