#pragma once
// Files held from their check until their use. Each file is opened without write or delete
// sharing, and so is every folder from its own up to the working folder, so that while they are
// held no other process can overwrite, rename or delete the file, nor rename or delete a folder
// on its way: what is used is byte for byte what was checked.
#include <windows.h>

#include <string>
#include <vector>

#include "handles.h"
#include "threads.h"

// Safe from any thread.
class HeldFiles {
 public:
  // `root`: the outermost folder held above a file (the working folder); folders above it are
  // not held. Empty: only the file's own folder.
  explicit HeldFiles(std::wstring root = {}) : root_(std::move(root)) {}
  HeldFiles(const HeldFiles&) = delete;
  HeldFiles& operator=(const HeldFiles&) = delete;

  // Holds `path` (full, or relative to the current folder) and its folders. Returns the file's
  // handle, open for reading, which stays valid until release(); null when the file cannot be
  // opened so (missing, or already open for writing elsewhere).
  HANDLE hold(const std::wstring& path);
  // Lets go of every file and folder.
  void release() noexcept;
  // The outermost folder held from now on.
  void setRoot(std::wstring root) { root_ = std::move(root); }

 private:
  CriticalSection lock_;
  std::wstring root_;
  std::vector<std::wstring> folders_;  // the folders held, full paths
  std::vector<UniqueHandle> handles_;
};
