#pragma once
// The setup program's side of its payload (common/payload_format.h): its resources, the copy
// of its archive, and the folders and paths the unpacking needs.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "handles.h"
#include "payload/archive_reader.h"
#include "payload_format.h"

// Finds, loads and locks the payload resource `id` of `module` (null: the running program) and stores the
// data pointer in *data; returns the resource's size. A null `data` returns 0 and does nothing.
// Raises Failure "can't find local res", "can't load local res" or "can't lock local
// res".
DWORD readPayloadResource(WORD id, const void** data, HMODULE module = nullptr);

// What the two payload resources say.
struct PayloadDescriptors {
  std::uint32_t archiveOffset = 0;
  std::string setupFileName;  // up to its zero byte or the resource's end
  bool hasSetupFileName = false;
};

// Reads the payload resources of `module` (null: the running program): the archive offset, and
// the setup file name when there is one (none, also when that resource cannot be read, means
// distribution mode). Raises readPayloadResource's errors for the offset's resource, and Failure
// "ZIP-archive not present" when it is empty.
[[nodiscard]] PayloadDescriptors readPayloadDescriptors(HMODULE module);

// The exit code of a setup program whose temporary folder's disk cannot hold the archive copy
// and the unpacked files.
constexpr int kNoRoomExitCode = 112;

// The disk of the temporary folder has too little room for the unpacking: nothing was written.
// Its text, in the user's language, says how much is needed and how much is free.
class NoRoomError : public std::exception {
 public:
  explicit NoRoomError(std::wstring text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return "not enough disk space"; }
  [[nodiscard]] const std::wstring& text() const noexcept { return text_; }

 private:
  std::wstring text_;
};

// Creates the file `path` with `access`, shared as `share`, replacing a file that is there;
// `existed`, when given, tells whether one was. Invalid when neither works. A file is made as a
// new one first, and emptied only when it exists: Wine empties a file that it creates over
// another even when there is none, and Linux's ext4 then writes the file's data out as soon as
// it is closed, a cost that every file of an unpacking would pay.
[[nodiscard]] UniqueFile createFresh(const std::wstring& path, DWORD access, DWORD share, bool* existed = nullptr);

// The archive copied out of the program, readable while it is copied: the copy writes the
// archive's directory first, together with the last bytes where a reader looks for the
// directory's end, and then the rest from the start, so that the unpacker can open the archive
// and unpack the first entries while the rest is copied (an archive whose directory cannot be
// found is copied from the start). The copy is shared with nobody: the unpacker reads it through
// a handle of this object's.
class ArchiveCopy final : public ArchiveFeed {
 public:
  // Opens the source and creates the target as extractArchiveFile does, with its room check
  // and its errors, and copies nothing yet.
  ArchiveCopy(const std::wstring& targetPath, std::uint32_t archiveOffset, const std::wstring& sourcePath = {});
  ArchiveCopy(const ArchiveCopy&) = delete;
  ArchiveCopy& operator=(const ArchiveCopy&) = delete;

  // The bytes the archive spans.
  [[nodiscard]] std::uint64_t size() const { return span_; }
  // Copies the directory (the whole archive when it cannot be found); false when `cancel` or a
  // failing read or write ended the copy.
  bool copyDirectory(const std::atomic<bool>* cancel);
  // Copies the rest; false when `cancel` or a failing read or write ended the copy.
  bool copyRest(const std::atomic<bool>* cancel);
  // Whether every byte is copied.
  [[nodiscard]] bool complete() const { return copied_ == span_; }
  // Ends the copy: readers wait no more, and read the file as it stands.
  void end();

  [[nodiscard]] UniqueFile readingHandle() const override;
  void waitFor(std::uint64_t offset, std::uint64_t size) const override;

 private:
  bool copyRange(std::uint64_t from, std::uint64_t to, const std::atomic<bool>* cancel);

  UniqueFile input_, output_;
  std::uint64_t offset_ = 0, span_ = 0, directoryStart_ = 0;
  // The bytes in place from the start, and whether those from directoryStart_ on are.
  std::atomic<std::uint64_t> copied_{0};
  std::atomic<bool> directoryCopied_{false}, ended_{false};
  UniqueHandle advanced_;  // set at every advance; readers reset it before they wait
};

// Copies the archive, the bytes from `archiveOffset` to the end of `sourcePath` (empty: the
// running program's own file) or to the start of its signature table when the program is
// signed, into `targetPath`, replacing it. Returns the number of bytes the archive spans (0 when
// the offset is at or beyond its end). A source that cannot be opened copies
// nothing; a read or write that fails or makes no progress ends the copy, and the damaged copy
// is left for the unpacker to report. `cancel`, when given, stops the copy between chunks.
// Before anything is written, the target's disk must have room for the archive copy, every
// entry's unpacked size (from the archive's directory) and a margin (kRoomMargin, and a cluster
// for each entry); raises NoRoomError when it has not. Raises Failure "can't create temporary
// zip file" when the target cannot be created.
std::uint32_t extractArchiveFile(const std::wstring& targetPath, std::uint32_t archiveOffset,
                                 const std::wstring& sourcePath = {},
                                 const std::atomic<bool>* cancel = nullptr);

// Creates a folder and its missing parents ("/" counts as "\"). Returns 0 when the folder
// exists afterwards, else the platform error of the last creation.
[[nodiscard]] DWORD createPath(const std::wstring& path);

// The Program Files folder from the value of ProgramFiles: " (x86)" is cut, so a 32-bit
// process on a 64-bit system gets the native folder.
[[nodiscard]] std::wstring programFilesFrom(const std::wstring& value);

// Reads ProgramFiles; empty when it is missing or longer than 1023 characters.
[[nodiscard]] std::wstring readProgramFilesDir();

// The running program's own path, without a length limit.
[[nodiscard]] std::wstring ownProgramPath();
