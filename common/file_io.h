#pragma once
// Whole reads and writes through the platform's file handles, and a file that takes its
// target's place in one step once it is complete, so that the target is never seen
// half-written: either it stays as it was or it is the finished file. The same calls on every
// platform: file_io.cpp implements them for Windows, file_io_posix.cpp for POSIX systems.
#include <cstdint>
#include <string>
#include <utility>

#include "handles.h"

// Appends up to `limit` bytes from the current position, fewer at the end of the file. False
// when a read fails.
[[nodiscard]] bool readUpTo(NativeFile file, std::string& bytes, size_t limit);

// Reads exactly `size` bytes at `offset`. False when the file ends before them or a read fails.
[[nodiscard]] bool readExactlyAt(NativeFile file, std::uint64_t offset, void* data, std::uint32_t size);

// Reads `count` bytes at `offset`, or fewer when the file ends before; the file pointer is not
// relied on, so threads may read one file each. With kFromPointer it reads on from the file
// pointer instead. False when a read fails; `got` is then 0.
inline constexpr std::uint64_t kFromPointer = ~0ull;
[[nodiscard]] bool readAt(NativeFile file, std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t& got);

// Writes all `count` bytes at `offset`. False when a write fails or falls short.
[[nodiscard]] bool writeAt(NativeFile file, std::uint64_t offset, const void* data, std::uint32_t count);

// Moves the file pointer to `offset`.
[[nodiscard]] bool seekTo(NativeFile file, std::uint64_t offset);

// The file's size now.
[[nodiscard]] bool sizeOf(NativeFile file, std::uint64_t& size);

// Opens an existing file to read it from start to end, while others may read and write it.
// Invalid when it cannot be opened; lastSystemError tells why. Opening never waits for a
// writer (a pipe opens at once and reads as no disk file).
[[nodiscard]] UniqueFile openToRead(const std::wstring& path);
// Opens an existing file for reading and writing, shared with nobody.
[[nodiscard]] UniqueFile openToUpdate(const std::wstring& path);
// Creates a file for writing, shared with nobody, emptying one that exists.
[[nodiscard]] UniqueFile createToWrite(const std::wstring& path);
// A new empty file in `folder` for reading and writing that goes when it is closed, however the
// program ends.
[[nodiscard]] UniqueFile createScratchFile(const std::wstring& folder);

// An open file's size and last write time (100-nanosecond intervals since 1601), to tell
// whether it changed between two moments.
struct FileStamp {
  std::uint64_t size = 0;
  std::uint64_t written = 0;
  bool operator==(const FileStamp&) const = default;
};
[[nodiscard]] bool stampOf(NativeFile file, FileStamp& stamp);

// Whether an open file is a file on a disk (no pipe, device or folder).
[[nodiscard]] bool isDiskFile(NativeFile file);

// Removes a file; one that is already gone counts as removed. False with lastSystemError set
// otherwise.
[[nodiscard]] bool removeFile(const std::wstring& path);

// Whether an error code says that a file or folder of the name exists already.
[[nodiscard]] bool meansAlreadyExists(unsigned long code);

// The whole content of `path`, opened with every sharing mode (a program may hold it). False
// when it cannot be opened or read, or holds more than `limit` bytes.
[[nodiscard]] bool readWholeFile(const std::wstring& path, std::string& bytes, size_t limit);

// Writes all of `data` from the current position, in chunks the platform accepts. False when a
// write fails or makes no progress.
[[nodiscard]] bool writeAll(NativeFile file, const void* data, size_t size);

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
  // lastSystemError tells why. The file is removed when this object goes, unless it has taken the
  // target's place.
  [[nodiscard]] UniqueFile create(const std::wstring& target);

  // The pending file's full path; empty before create succeeded and after replaceTarget.
  [[nodiscard]] const std::wstring& path() const { return removal_.path(); }

  // Puts the file, closed by then, in the target's place, replacing what is there, written
  // through to the disk. False when the system refuses (lastSystemError tells why); the target is
  // then as it was.
  [[nodiscard]] bool replaceTarget();

 private:
  std::wstring target_;
  FileRemoval removal_;
};
