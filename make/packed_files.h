#pragma once
// The compression of a folder's files before they go into the archive: threads deflate them while
// the walk is still finding more, each thread into a temporary spool file of its own, so that the
// archive library only copies finished deflate streams when it writes the archive. Files that
// deflate would not shrink are left to be stored as they are.
#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "folder_walk.h"
#include "handles.h"

// How one file goes into the archive.
struct PackedEntry {
  // Stored: the file's own bytes go in, read from the file when the archive is written. Otherwise
  // the entry is the deflate stream in spool `spool` at `offset`.
  bool stored = false;
  // The data the entry holds: the deflate stream's length, or the file's size when stored.
  std::uint64_t packedSize = 0;
  // CRC-32 of the file's bytes, as packed; the archive library takes it only for a deflated entry.
  std::uint32_t crc = 0;
  std::size_t spool = 0;
  std::uint64_t offset = 0;
};

// Reads `count` bytes at `offset` of a file opened for synchronous reading, or fewer when the file
// ends before; its file pointer is not relied on, so threads may read different files each. False
// when a read fails; `got` is then 0.
[[nodiscard]] bool readAt(HANDLE file, std::uint64_t offset, void* buffer, DWORD count, DWORD& got);

class PackedFiles {
 public:
  // Makes one spool per worker in `spoolFolder` and, for more than one worker, starts that many
  // threads, which pack files as add() hands them in. `workers` 0 means one per processor, at most
  // 8; with 1, nothing runs before finish(), which then packs every file on the calling thread.
  // Each file is deflated as the archive library deflates by default (best compression, raw
  // deflate, 32 KiB window, the largest memory level), so an entry's data is what the library
  // itself would write; a file larger than 1 MiB whose first 256 KiB do not shrink by 1 % is taken
  // as incompressible without deflating the rest. Raises std::runtime_error "Can't create a
  // temporary file in <spoolFolder>: <reason>".
  PackedFiles(const std::wstring& spoolFolder, unsigned workers);
  // Stops the threads (each finishes the file in hand) and waits for them; deletes the spools.
  ~PackedFiles();
  PackedFiles(const PackedFiles&) = delete;
  PackedFiles& operator=(const PackedFiles&) = delete;

  // The next file in walk order.
  void add(WalkedFile file);

  // Waits until every added file is packed, however many workers there are: the result is the
  // same. Raises std::runtime_error "Can't add file to zip: <shown>" for the first file in walk
  // order that cannot be read or no longer has its walked size.
  void finish();

  // After finish(): the files in walk order, how each is packed, and the spools.
  [[nodiscard]] std::size_t size() const { return items_.size(); }
  [[nodiscard]] const WalkedFile& file(std::size_t index) const { return items_[index].file; }
  [[nodiscard]] const PackedEntry& operator[](std::size_t index) const { return items_[index].entry; }
  [[nodiscard]] HANDLE spool(std::size_t index) const { return spools_[index].get(); }

 private:
  struct Item {
    WalkedFile file;
    PackedEntry entry;
    bool failed = false;
  };

  // One worker's loop: takes the next file in walk order until none is left or a failure stops
  // all. Lets no exception out.
  void work(std::size_t worker) noexcept;
  void stopAndJoin() noexcept;

  // Only grown at the end, so the items that workers hold stay in place.
  std::deque<Item> items_;
  std::vector<UniqueFile> spools_;
  std::vector<std::exception_ptr> errors_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;
  bool complete_ = false;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};
