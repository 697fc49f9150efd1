#pragma once
// Files that a build may leave behind only when it completes: a scope that removes a file
// unless told to keep it, and a file written completely under a name of its own beside its
// target before it takes the target's place in one step, so that the target is never seen
// half-written: either it stays as it was or it is the finished file.
#include <windows.h>

#include <string>
#include <utility>

#include "handles.h"

class FileRemoval {
 public:
  FileRemoval() = default;
  // An empty path removes nothing.
  explicit FileRemoval(std::wstring path) : path_(std::move(path)) {}
  FileRemoval(const FileRemoval&) = delete;
  FileRemoval& operator=(const FileRemoval&) = delete;
  // Removes the file unless keep() ran; a file that is already gone is no error. The last error
  // code is kept.
  ~FileRemoval();

  void reset(std::wstring path) { path_ = std::move(path); }
  void keep() { path_.clear(); }
  [[nodiscard]] const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// A new folder of its own in `parent`, for one build's temporary files; removed with the files
// in it when the scope ends (the build makes no sub-folders).
class BuildFolder {
 public:
  // Raises std::runtime_error "Can't create a temporary folder in <parent>: <reason>".
  explicit BuildFolder(const std::wstring& parent);
  ~BuildFolder();
  BuildFolder(const BuildFolder&) = delete;
  BuildFolder& operator=(const BuildFolder&) = delete;

  [[nodiscard]] const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

class PendingFile {
 public:
  // Creates a new empty file with a name of its own in the folder of `target` (a full path) and
  // returns it open for writing, with no sharing. Invalid on failure; GetLastError tells why.
  // The file is removed when this object goes, unless it has taken the target's place.
  [[nodiscard]] UniqueFile create(const std::wstring& target);

  // The pending file's full path; empty before create succeeded and after replaceTarget.
  [[nodiscard]] const std::wstring& path() const { return removal_.path(); }

  // Puts the file in the target's place, replacing what is there, written through to the disk.
  // False when the system refuses (GetLastError tells why); the target is then as it was.
  [[nodiscard]] bool replaceTarget();

 private:
  std::wstring target_;
  FileRemoval removal_;
};
