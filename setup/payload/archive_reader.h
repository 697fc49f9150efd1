#pragma once
// The archive's one library handle, shared by the unpacking threads: its calls are made one
// thread at a time, while each thread inflates and writes what it read on its own. One handle
// keeps one copy of the archive's directory in memory, however many threads unpack.
#include <zip.h>

#include <cstdint>
#include <string>

#include "handles.h"
#include "threads.h"

// An archive file that another thread is still writing. Its reader reads through a handle of
// its own and, before every read, waits until the bytes it asks for are in place, or until the
// writing has ended (the file then reads as it stands).
class ArchiveFeed {
 public:
  // A handle to read the file through; invalid when none can be had.
  [[nodiscard]] virtual UniqueFile readingHandle() const = 0;
  virtual void waitFor(std::uint64_t offset, std::uint64_t size) const = 0;

 protected:
  ~ArchiveFeed() = default;
};

// A read-only archive source over `length` bytes of `path` from `start` (-1: to the file's end),
// read through the platform with positioned reads. (The library's own Windows source would bring
// its writing operations along: temporary files and commits, which a reader never uses.) Null,
// with `error` set, when the file cannot be opened.
[[nodiscard]] zip_source_t* readOnlyFileSource(const std::wstring& path, std::uint64_t start, std::int64_t length,
                                               zip_error_t* error);

// One entry as the archive's directory describes it.
struct EntryInfo {
  std::string name;  // UTF-8 (the library converts names stored in the old code page)
  bool sizeKnown = false;
  std::uint64_t size = 0;
  std::uint64_t storedSize = 0;  // the bytes the archive holds for it
  bool storesNothing = false;     // known to hold none (an empty file or a folder)
  bool crcKnown = false;
  std::uint32_t crc = 0;
  std::uint16_t method = 0;  // ZIP_CM_STORE or ZIP_CM_DEFLATE are read; others are not
  bool encrypted = false;
};

// Where an entry's stored bytes come from.
class StoredSource {
 public:
  // Up to `size` further bytes: the count read, 0 at the end, negative when they cannot be read.
  [[nodiscard]] virtual std::int64_t read(void* data, std::uint64_t size) = 0;

 protected:
  ~StoredSource() = default;
};

class ArchiveReader {
 public:
  // Opens `path` read-only, or reads it through `feed` while it is written; valid() tells
  // whether it opened, errorCode() why not.
  explicit ArchiveReader(const std::wstring& path, const ArchiveFeed* feed = nullptr);
  ~ArchiveReader();
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  [[nodiscard]] bool valid() const { return archive_ != nullptr; }
  [[nodiscard]] int errorCode() const { return errorCode_; }
  [[nodiscard]] std::uint64_t entryCount();

  // False when the directory entry cannot be read.
  [[nodiscard]] bool describe(std::uint64_t index, EntryInfo& info);

  // An entry's bytes as the archive stores them (deflated or not), read piece by piece.
  class StoredData : public StoredSource {
   public:
    StoredData(ArchiveReader& reader, zip_file_t* file, bool empty = false)
        : reader_(reader), file_(file), empty_(empty) {}
    ~StoredData();
    StoredData(const StoredData&) = delete;
    StoredData& operator=(const StoredData&) = delete;

    [[nodiscard]] bool valid() const { return file_ != nullptr || empty_; }
    [[nodiscard]] std::int64_t read(void* data, std::uint64_t size) override;

   private:
    ArchiveReader& reader_;
    zip_file_t* file_;
    bool empty_;
  };
  // Invalid when the library cannot open the entry or its local header is not one. An entry
  // that stores nothing is not opened: it reads as empty.
  [[nodiscard]] StoredData open(std::uint64_t index, const EntryInfo& info);

 private:
  zip_t* archive_ = nullptr;
  int errorCode_ = 0;
  CriticalSection lock_;
};
