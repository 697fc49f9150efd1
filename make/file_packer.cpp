#include "file_packer.h"

#include <zlib.h>

#include <algorithm>
#include <new>
#include <utility>

#include "error_report.h"
#include "handles.h"
#include "paths.h"
#include "text.h"

namespace {

constexpr DWORD kChunk = 1 << 20;
// Files larger than kProbeFrom are first probed: their first kProbe bytes are deflated, and less
// than 1/kMargin shrinkage counts as none. Deflating a large file stops after kCheckFrom bytes
// once its stream has not shrunk by that much.
constexpr DWORD kProbeFrom = 64 << 10;
constexpr DWORD kProbe = 16 << 10;
constexpr DWORD kMargin = 128;
constexpr std::uint64_t kCheckFrom = 2 << 20;
// Packed data waiting in memory for the archive, over all packers.
constexpr std::uint64_t kMemoryBound = 64 << 20;
constexpr std::uint64_t kLargest = 0xFFFFFFFEull;

std::string cannotAdd(const std::wstring& shown) { return "Can't add file to zip: " + toNarrow(shown); }

}  // namespace

std::wstring WalkedFile::path() const { return joinPath(folder->path, name); }
std::wstring WalkedFile::shown() const { return joinPath(folder->shown, name); }

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

class FilePacker::Deflater {
 public:
  Deflater() {
    if (deflateInit2(&stream_, kLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::bad_alloc();
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

FilePacker::FilePacker(HANDLE spool, std::wstring spoolFolder, std::atomic<std::uint64_t>& memoryInUse)
    : spool_(spool),
      spoolFolder_(std::move(spoolFolder)),
      memoryInUse_(memoryInUse),
      input_(new std::uint8_t[kChunk]),
      output_(new std::uint8_t[kChunk]),
      deflater_(std::make_unique<Deflater>()) {}

FilePacker::~FilePacker() = default;

std::string FilePacker::pack(const WalkedFile& file, PackedFile& packed) {
  const std::wstring shown = file.shown();
  UniqueFile handle(CreateFileW(file.path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  FILETIME written;
  DWORD got = 0;
  if (!handle || GetFileType(handle.get()) != FILE_TYPE_DISK || !GetFileTime(handle.get(), nullptr, nullptr, &written) ||
      !readAt(handle.get(), 0, input_.get(), kChunk, got)) {
    return cannotAdd(shown);
  }
  packed.info.name = file.folder->entryPrefix + toUtf8(file.name);
  toDosTime(written, packed.info.dosTime, packed.info.dosDate);
  if (got > kProbeFrom && !probeShrinks(got)) return storeAll(handle.get(), got, packed, shown);
  return deflateAll(handle.get(), got, packed, shown);
}

// Whether the start of the input deflates to less than what it is, by the margin.
bool FilePacker::probeShrinks(DWORD available) {
  z_stream& stream = deflater_->restart();
  const DWORD probe = std::min(available, kProbe);
  stream.next_in = input_.get();
  stream.avail_in = probe;
  stream.next_out = output_.get();
  stream.avail_out = probe - probe / kMargin;
  return deflate(&stream, Z_FINISH) == Z_STREAM_END;
}

std::string FilePacker::deflateAll(HANDLE file, DWORD got, PackedFile& packed, const std::wstring& shown) {
  z_stream& stream = deflater_->restart();
  stream.next_out = output_.get();
  stream.avail_out = kChunk;
  std::uint64_t read = 0;
  std::uint64_t flushed = 0;
  uLong crc = crc32(0, nullptr, 0);
  for (;;) {
    read += got;
    if (read > kLargest) return kArchiveTooLarge;
    crc = crc32(crc, input_.get(), got);
    // A short read is the end of the file.
    const bool last = got < kChunk;
    stream.next_in = input_.get();
    stream.avail_in = got;
    // Output space left over means that the input is used up, or with Z_FINISH that the stream
    // is complete. The stream goes to the spool's end while it is being made.
    for (;;) {
      if (deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH) == Z_STREAM_ERROR) return cannotAdd(shown);
      if (stream.avail_out != 0) break;
      if (!spoolAt(spoolEnd_ + flushed, output_.get(), kChunk)) return spoolFailure();
      flushed += kChunk;
      stream.next_out = output_.get();
      stream.avail_out = kChunk;
    }
    if (last) break;
    if (read >= kCheckFrom && flushed + (kChunk - stream.avail_out) > read - read / kMargin) break;
    if (!readAt(file, read, input_.get(), kChunk, got)) return cannotAdd(shown);
  }
  const std::uint64_t packedSize = flushed + (kChunk - stream.avail_out);
  // A full last chunk: deflating stopped early.
  if (got == kChunk || packedSize >= read) {
    // Deflate does not pay: the file's own bytes go in, read again unless they are all at hand.
    if (read != got && !readAt(file, 0, input_.get(), kChunk, got)) return cannotAdd(shown);
    return storeAll(file, got, packed, shown);
  }
  packed.info.deflated = true;
  packed.info.deflateFlags = 0;  // normal compression
  packed.info.crc = static_cast<std::uint32_t>(crc);
  packed.info.size = read;
  packed.info.packedSize = packedSize;
  if (flushed == 0) return emit(packed, output_.get(), static_cast<DWORD>(packedSize)) ? "" : spoolFailure();
  if (!spoolAt(spoolEnd_ + flushed, output_.get(), kChunk - stream.avail_out)) return spoolFailure();
  packed.spoolOffset = spoolEnd_;
  spoolEnd_ += packedSize;
  return {};
}

// Stores the file from its first chunk (`got` bytes in the input buffer, read from its start) to
// its end: in memory when that chunk is the whole file, else on the spool.
std::string FilePacker::storeAll(HANDLE file, DWORD got, PackedFile& packed, const std::wstring& shown) {
  packed.info.deflated = false;
  uLong crc = crc32(0, nullptr, 0);
  std::uint64_t read = 0;
  if (got < kChunk) {
    packed.info.crc = static_cast<std::uint32_t>(crc32(crc, input_.get(), got));
    packed.info.size = packed.info.packedSize = got;
    return emit(packed, input_.get(), got) ? "" : spoolFailure();
  }
  for (;;) {
    if (read + got > kLargest) return kArchiveTooLarge;
    crc = crc32(crc, input_.get(), got);
    if (!spoolAt(spoolEnd_ + read, input_.get(), got)) return spoolFailure();
    read += got;
    if (got < kChunk) break;
    if (!readAt(file, read, input_.get(), kChunk, got)) return cannotAdd(shown);
  }
  packed.info.crc = static_cast<std::uint32_t>(crc);
  packed.info.size = packed.info.packedSize = read;
  packed.spoolOffset = spoolEnd_;
  spoolEnd_ += read;
  return {};
}

// Small data stays in memory while the bound allows; the rest goes to the spool.
bool FilePacker::emit(PackedFile& packed, const std::uint8_t* bytes, DWORD count) {
  if (memoryInUse_.fetch_add(count) + count <= kMemoryBound) {
    packed.memory.assign(bytes, bytes + count);
    return true;
  }
  memoryInUse_.fetch_sub(count);
  if (!spoolAt(spoolEnd_, bytes, count)) return false;
  packed.spoolOffset = spoolEnd_;
  spoolEnd_ += count;
  return true;
}

bool FilePacker::spoolAt(std::uint64_t offset, const void* bytes, DWORD count) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD written = 0;
  return WriteFile(spool_, bytes, count, &written, &at) && written == count;
}

std::string FilePacker::spoolFailure() const {
  return toNarrow(L"Can't write a temporary file in " + spoolFolder_ + L": " + systemReason(GetLastError()));
}
