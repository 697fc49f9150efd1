#include "packed_files.h"

#include <zlib.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>

#include "console.h"
#include "text.h"

namespace {

constexpr DWORD kChunk = 1 << 20;
// How much of a file larger than one chunk is deflated first, to find out whether the rest is
// worth deflating at all; less than 1/kProbeMargin shrinkage counts as none.
constexpr DWORD kProbe = 256 << 10;
constexpr DWORD kProbeMargin = 100;
constexpr unsigned kMaxWorkers = 8;

// A deflate stream set up as the archive library sets up its own by default.
class Deflater {
 public:
  Deflater() {
    if (deflateInit2(&stream_, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, MAX_MEM_LEVEL, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
      throw std::bad_alloc();
    }
  }
  ~Deflater() { deflateEnd(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // The stream, ready for a new file.
  z_stream& restart() {
    deflateReset(&stream_);
    return stream_;
  }

 private:
  z_stream stream_{};
};

[[nodiscard]] bool writeAt(HANDLE file, std::uint64_t offset, const void* data, DWORD count) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD written = 0;
  return WriteFile(file, data, count, &written, &at) && written == count;
}

// One thread's part: it packs the files it is given and appends their deflate streams to its
// own spool, one after the other.
class Packer {
 public:
  Packer(HANDLE spool, std::size_t spoolIndex)
      : spool_(spool), spoolIndex_(spoolIndex), input_(new Bytef[kChunk]), output_(new Bytef[kChunk]) {}

  // Fills `entry` for `file`; false when the file cannot be read, its size is no longer the
  // walked one, or the spool cannot be written.
  [[nodiscard]] bool pack(const WalkedFile& file, PackedEntry& entry) {
    DWORD got = 0;
    if (!readAt(file.file.get(), 0, input_.get(), kChunk, got) || got != std::min<std::uint64_t>(file.size, kChunk)) {
      return false;
    }
    entry.spool = spoolIndex_;
    entry.offset = spoolEnd_;
    if (file.size > kChunk && !probeShrinks()) {
      // Read again, and checked against its size, when the archive is written.
      entry.stored = true;
      entry.packedSize = file.size;
      return true;
    }
    return deflateAll(file, got, entry);
  }

 private:
  // Whether the start of the first chunk deflates to less than what it is, by the margin.
  bool probeShrinks() {
    z_stream& stream = deflater_.restart();
    stream.next_in = input_.get();
    stream.avail_in = kProbe;
    stream.next_out = output_.get();
    stream.avail_out = kProbe - kProbe / kProbeMargin;
    return deflate(&stream, Z_FINISH) == Z_STREAM_END;
  }

  // Deflates the file from its first chunk (`got` bytes in the input buffer) to its end. The
  // stream goes to the spool at its end; when it is no shorter than the file, the entry is
  // stored instead and the next file's stream takes its place.
  bool deflateAll(const WalkedFile& file, DWORD got, PackedEntry& entry) {
    z_stream& stream = deflater_.restart();
    stream.next_out = output_.get();
    stream.avail_out = kChunk;
    std::uint64_t read = 0;
    std::uint64_t flushed = 0;
    uLong crc = crc32(0, nullptr, 0);
    for (;;) {
      read += got;
      if (read > file.size) return false;
      crc = crc32(crc, input_.get(), got);
      // A short read is the end of the file.
      const bool last = got < kChunk;
      stream.next_in = input_.get();
      stream.avail_in = got;
      // Output space left over means that the input is used up, or with Z_FINISH that the
      // stream is complete.
      for (;;) {
        if (deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH) == Z_STREAM_ERROR) return false;
        if (stream.avail_out != 0) break;
        if (!writeAt(spool_, spoolEnd_ + flushed, output_.get(), kChunk)) return false;
        flushed += kChunk;
        stream.next_out = output_.get();
        stream.avail_out = kChunk;
      }
      if (last) break;
      if (!readAt(file.file.get(), read, input_.get(), kChunk, got)) return false;
    }
    if (read != file.size) return false;
    const DWORD tail = kChunk - stream.avail_out;
    entry.crc = static_cast<std::uint32_t>(crc);
    entry.packedSize = flushed + tail;
    if (entry.packedSize >= read) {
      entry.stored = true;
      entry.packedSize = read;
      return true;
    }
    if (!writeAt(spool_, spoolEnd_ + flushed, output_.get(), tail)) return false;
    spoolEnd_ += entry.packedSize;
    return true;
  }

  HANDLE spool_;
  std::size_t spoolIndex_;
  std::uint64_t spoolEnd_ = 0;
  std::unique_ptr<Bytef[]> input_;
  std::unique_ptr<Bytef[]> output_;
  Deflater deflater_;
};

unsigned workerCount(unsigned requested) {
  return std::clamp(requested != 0 ? requested : std::thread::hardware_concurrency(), 1u, kMaxWorkers);
}

// A new empty file in `folder` that the system deletes when its handle is closed, however the
// program ends.
UniqueFile createSpool(const std::wstring& folder) {
  wchar_t name[MAX_PATH];
  DWORD error = ERROR_SUCCESS;
  if (GetTempFileNameW(folder.c_str(), L"pzs", 0, name) == 0) {
    error = GetLastError();
  } else {
    UniqueFile spool(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (spool) return spool;
    error = GetLastError();
    DeleteFileW(name);
  }
  throw std::runtime_error(toNarrow(L"Can't create a temporary file in " + folder + L": " + systemReason(error)));
}

}  // namespace

bool readAt(HANDLE file, std::uint64_t offset, void* buffer, DWORD count, DWORD& got) {
  got = 0;
  // Bounded: every round reads something or ends the loop.
  while (got < count) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + got);
    at.OffsetHigh = static_cast<DWORD>((offset + got) >> 32);
    DWORD read = 0;
    if (!ReadFile(file, static_cast<char*>(buffer) + got, count - got, &read, &at)) {
      // A read at a given offset past the end fails with this rather than reading nothing.
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      got = 0;
      return false;
    }
    if (read == 0) break;
    got += read;
  }
  return true;
}

PackedFiles::PackedFiles(const std::wstring& spoolFolder, unsigned workers) {
  const unsigned count = workerCount(workers);
  for (unsigned i = 0; i < count; ++i) spools_.push_back(createSpool(spoolFolder));
  errors_.resize(count);
  if (count == 1) return;
  try {
    for (unsigned worker = 0; worker < count; ++worker) threads_.emplace_back(&PackedFiles::work, this, worker);
  } catch (...) {
    stopAndJoin();
    throw;
  }
}

PackedFiles::~PackedFiles() { stopAndJoin(); }

void PackedFiles::stopAndJoin() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

void PackedFiles::add(WalkedFile file) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(Item{std::move(file), {}});
  }
  changed_.notify_one();
}

// Files are taken in walk order. A failure stops the workers from taking more, but every file
// already taken is finished, so every file before the first failing one has been tried and the
// failure reported is the one a single worker would meet first.
void PackedFiles::work(std::size_t worker) noexcept {
  try {
    Packer packer(spools_[worker].get(), worker);
    for (;;) {
      Item* item = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || complete_ || next_ < items_.size(); });
        if (stop_ || next_ == items_.size()) return;
        item = &items_[next_++];
      }
      if (!packer.pack(item->file, item->entry)) {
        std::lock_guard<std::mutex> lock(mutex_);
        item->failed = true;
        stop_ = true;
        changed_.notify_all();
      }
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_[worker] = std::current_exception();
    stop_ = true;
    changed_.notify_all();
  }
}

void PackedFiles::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    complete_ = true;
  }
  changed_.notify_all();
  if (threads_.empty()) work(0);
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  for (const std::exception_ptr& error : errors_) {
    if (error) std::rethrow_exception(error);
  }
  for (const Item& item : items_) {
    if (item.failed) throw std::runtime_error("Can't add file to zip: " + toNarrow(item.file.shown));
  }
}
