#include "file_packer.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <new>
#include <utility>

#include "error_report.h"
#include "file_io.h"
#include "handles.h"
#include "paths.h"
#include "text.h"

namespace {

// Files shorter than kWhole are read and deflated whole; longer ones go through in pieces of
// kWhole, as a stream.
constexpr std::uint32_t kWhole = 8 << 20;
// Files larger than kProbeFrom are first probed: their first kProbe bytes are deflated, and less
// than 1/kMargin shrinkage counts as none. A stream stops after kCheckFrom bytes once it has not
// shrunk by that much.
constexpr std::uint32_t kProbeFrom = 64 << 10;
constexpr std::uint32_t kProbe = 16 << 10;
constexpr std::uint32_t kMargin = 128;
constexpr std::uint64_t kCheckFrom = 2 * kWhole;
// Packed data waiting in memory for the archive, over all packers.
constexpr std::uint64_t kMemoryBound = 32 << 20;
constexpr std::uint64_t kLargest = 0xFFFFFFFEull;

std::string cannotAdd(const WalkedFile& file) { return "Can't add file to zip: " + toNarrow(file.shown()); }

}  // namespace

std::wstring WalkedFile::shown() const { return joinPath(folder->shown, name); }

// A zlib deflate stream for the files too large to deflate whole.
class FilePacker::Deflater {
 public:
  Deflater() {
    if (deflateInit2(&stream_, kStreamLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
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

FilePacker::FilePacker(NativeFile spool, std::wstring spoolFolder, std::atomic<std::uint64_t>& memoryInUse)
    : spool_(spool),
      spoolFolder_(std::move(spoolFolder)),
      memoryInUse_(memoryInUse),
      input_(new std::uint8_t[kWhole]),
      output_(new std::uint8_t[kWhole]),
      deflater_(std::make_unique<Deflater>()),
      compressor_(libdeflate_alloc_compressor(kWholeLevel)) {
  if (!compressor_) throw std::bad_alloc();
}

FilePacker::~FilePacker() { libdeflate_free_compressor(compressor_); }

// Every call on a file costs system requests, which small files pay for many times over: the
// listing's time serves for plain files, and only a file that reads empty is asked whether it is
// a disk file at all (a pipe reads empty too).
// A file read in one piece is taken as that read found it. One read in several pieces is
// checked: its size and last write time before the reading and after it must agree, or the
// archive would hold parts of two versions of it.
std::string FilePacker::pack(const WalkedFile& file, PackedFile& packed) {
  path_.assign(file.folder->path).append(file.name);
  const UniqueFile handle = openToRead(path_);
  FileStamp before;
  std::uint32_t got = 0;
  if (!handle || (file.listedSize >= kWhole && !stampOf(handle.get(), before)) ||
      !readFirstPiece(handle.get(), file, got) || (got == 0 && !isDiskFile(handle.get()))) {
    return cannotAdd(file);
  }
  packed.info.name = file.folder->entryPrefix + toUtf8(file.name);
  clock_.convert(file.written, packed.info.dosTime, packed.info.dosDate);
  if (got < kWhole) return packWhole(got, packed);
  // Grown past one piece since it was listed: checked from here on.
  if (file.listedSize < kWhole && !stampOf(handle.get(), before)) return cannotAdd(file);
  std::string failure = probeShrinks(got) ? deflateStream(handle.get(), file, got, packed)
                                          : storeStream(handle.get(), file, got, packed);
  FileStamp after;
  if (failure.empty() && (!stampOf(handle.get(), after) || !(after == before) || after.size != packed.info.size)) {
    failure = "File changed while it was packed: " + toNarrow(file.shown());
  }
  return failure;
}

// Reads the file's first piece, up to kWhole bytes, into the input buffer; fewer are the whole
// file. The first read asks for one byte more than the listing gave, not for a whole piece:
// Wine touches every page of a read's buffer before it reads, which costs a small file far
// more than its bytes. One that has grown since it was listed reads on.
bool FilePacker::readFirstPiece(NativeFile file, const WalkedFile& walked, std::uint32_t& got) {
  const auto first = static_cast<std::uint32_t>(std::min<std::uint64_t>(walked.listedSize + 1, kWhole));
  if (!readAt(file, kFromPointer, input_.get(), first, got)) return false;
  if (got < first || first == kWhole) return true;
  std::uint32_t more = 0;
  if (!readAt(file, kFromPointer, input_.get() + got, kWhole - got, more)) {
    got = 0;
    return false;
  }
  got += more;
  return true;
}

// Whether the start of the input deflates to less than what it is, by the margin.
bool FilePacker::probeShrinks(std::uint32_t available) {
  const std::uint32_t probe = std::min(available, kProbe);
  return libdeflate_deflate_compress(compressor_, input_.get(), probe, output_.get(), probe - probe / kMargin) != 0;
}

// The whole file, `size` bytes, is in the input buffer.
std::string FilePacker::packWhole(std::uint32_t size, PackedFile& packed) {
  packed.info.size = size;
  packed.info.crc = libdeflate_crc32(0, input_.get(), size);
  // A stream that does not fit in fewer bytes than the file is not made.
  const size_t deflated = size <= 1 || (size > kProbeFrom && !probeShrinks(size))
                              ? 0
                              : libdeflate_deflate_compress(compressor_, input_.get(), size, output_.get(), size - 1);
  packed.info.deflated = deflated != 0;
  packed.info.packedSize = deflated != 0 ? deflated : size;
  const bool kept = deflated != 0 ? emit(packed, output_.get(), static_cast<std::uint32_t>(deflated))
                                  : emit(packed, input_.get(), size);
  return kept ? std::string() : spoolFailure();
}

// Deflates the file from its first piece (`got` bytes in the input buffer) to its end. The
// stream goes to the spool's end while it is being made.
std::string FilePacker::deflateStream(NativeFile file, const WalkedFile& walked, std::uint32_t got,
                                      PackedFile& packed) {
  z_stream& stream = deflater_->restart();
  stream.next_out = output_.get();
  stream.avail_out = kWhole;
  std::uint64_t read = 0;
  std::uint64_t flushed = 0;
  std::uint32_t crc = 0;
  for (;;) {
    read += got;
    if (read > kLargest) return kArchiveTooLarge;
    crc = libdeflate_crc32(crc, input_.get(), got);
    // A short read is the end of the file.
    const bool last = got < kWhole;
    stream.next_in = input_.get();
    stream.avail_in = got;
    // Output space left over means that the input is used up, or with Z_FINISH that the stream
    // is complete.
    for (;;) {
      if (deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH) == Z_STREAM_ERROR) return cannotAdd(walked);
      if (stream.avail_out != 0) break;
      if (!spoolAt(spoolEnd_ + flushed, output_.get(), kWhole)) return spoolFailure();
      flushed += kWhole;
      stream.next_out = output_.get();
      stream.avail_out = kWhole;
    }
    if (last) break;
    if (read >= kCheckFrom && flushed + (kWhole - stream.avail_out) > read - read / kMargin) break;
    if (!readAt(file, kFromPointer, input_.get(), kWhole, got)) return cannotAdd(walked);
  }
  const std::uint64_t packedSize = flushed + (kWhole - stream.avail_out);
  // A full last piece: deflating stopped early. Either way the file's own bytes go in, read
  // again from its start, over the stream on the spool.
  if (got == kWhole || packedSize >= read) {
    if (!seekTo(file, 0) || !readAt(file, kFromPointer, input_.get(), kWhole, got)) {
      return cannotAdd(walked);
    }
    return storeStream(file, walked, got, packed);
  }
  packed.info.deflated = true;
  packed.info.crc = crc;
  packed.info.size = read;
  packed.info.packedSize = packedSize;
  if (!spoolAt(spoolEnd_ + flushed, output_.get(), kWhole - stream.avail_out)) return spoolFailure();
  packed.spoolOffset = spoolEnd_;
  spoolEnd_ += packedSize;
  return {};
}

// Stores the file from its first piece (`got` bytes in the input buffer, read from its start) to
// its end, on the spool.
std::string FilePacker::storeStream(NativeFile file, const WalkedFile& walked, std::uint32_t got,
                                    PackedFile& packed) {
  std::uint32_t crc = 0;
  std::uint64_t read = 0;
  for (;;) {
    if (read + got > kLargest) return kArchiveTooLarge;
    crc = libdeflate_crc32(crc, input_.get(), got);
    if (!spoolAt(spoolEnd_ + read, input_.get(), got)) return spoolFailure();
    read += got;
    if (got < kWhole) break;
    if (!readAt(file, kFromPointer, input_.get(), kWhole, got)) return cannotAdd(walked);
  }
  packed.info.deflated = false;
  packed.info.crc = crc;
  packed.info.size = packed.info.packedSize = read;
  packed.spoolOffset = spoolEnd_;
  spoolEnd_ += read;
  return {};
}

// Small data stays in memory while the bound allows; the rest goes to the spool.
bool FilePacker::emit(PackedFile& packed, const std::uint8_t* bytes, std::uint32_t count) {
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

bool FilePacker::spoolAt(std::uint64_t offset, const void* bytes, std::uint32_t count) {
  return writeAt(spool_, offset, bytes, count);
}

std::string FilePacker::spoolFailure() const {
  return toNarrow(L"Can't write a temporary file in " + spoolFolder_ + L": " + systemReason(lastSystemError()));
}
