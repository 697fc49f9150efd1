#pragma once
// Whole reads and writes through the platform's file handles, and a file that takes its
// target's place in one step once it is complete, so that the target is never seen
// half-written: either it stays as it was or it is the finished file.
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>

#include "handles.h"

// Appends up to `limit` bytes from the current position, fewer at the end of the file. False
// when a read fails.
[[nodiscard]] bool readUpTo(HANDLE file, std::string& bytes, size_t limit);

// Reads exactly `size` bytes at `offset`. False when the file ends before them or a read fails.
[[nodiscard]] bool readExactlyAt(HANDLE file, std::uint64_t offset, void* data, DWORD size);

// The whole content of `path`, opened with every sharing mode (a program may hold it). False
// when it cannot be opened or read, or holds more than `limit` bytes.
[[nodiscard]] bool readWholeFile(const std::wstring& path, std::string& bytes, size_t limit);

// Writes all of `data` from the current position, in chunks the platform accepts. False when a
// write fails or makes no progress.
[[nodiscard]] bool writeAll(HANDLE file, const void* data, size_t size);

// A scope that removes a file unless told to keep it.
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

class PendingFile {
 public:
  // Creates a new empty file with a short name of its own ("~pm<process>-<n>.tmp") in the folder
  // of `target` and returns it open for writing, with no sharing. Invalid on failure;
  // GetLastError tells why. The file is removed when this object goes, unless it has taken the
  // target's place.
  [[nodiscard]] UniqueFile create(const std::wstring& target);

  // The pending file's full path; empty before create succeeded and after replaceTarget.
  [[nodiscard]] const std::wstring& path() const { return removal_.path(); }

  // Puts the file, closed by then, in the target's place, replacing what is there, written
  // through to the disk. False when the system refuses (GetLastError tells why); the target is
  // then as it was.
  [[nodiscard]] bool replaceTarget();

 private:
  std::wstring target_;
  FileRemoval removal_;
};
