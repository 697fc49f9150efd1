#include "payload/entry_decoder.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <new>

#include "payload/zip_unpackager.h"

namespace {

[[noreturn]] void raiseReadError(const std::string& displayName) {
  std::fputs("error reading file in archive/n", stderr);
  std::fflush(stderr);
  throw ZipUnpackagerException("error reading file in archive: " + displayName, kArchiveReadErrorExitCode);
}

[[noreturn]] void raiseRunsPast(const std::string& displayName) {
  throw ZipUnpackagerException("damaged archive, data runs past its size: " + displayName, kArchiveReadErrorExitCode);
}

std::uint32_t crcOf(std::uint32_t crc, const char* data, size_t size) {
  return libdeflate_crc32(crc, data, size);
}

void checkCrc(const EntryInfo& info, std::uint32_t crc, const std::string& displayName) {
  if (info.crcKnown && crc != info.crc) raiseReadError(displayName);
}

// Data that ends before the entry's size: damaged data, unless what there is passes the CRC.
[[noreturn]] void raiseEndsEarly(const EntryInfo& info, std::uint32_t crc, const std::string& displayName) {
  checkCrc(info, crc, displayName);
  throw ZipUnpackagerException("damaged archive, data ends early: " + displayName, kArchiveReadErrorExitCode);
}

// zlib's raw inflate state, ended on every path.
class InflateStream {
 public:
  InflateStream() {
    if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~InflateStream() { inflateEnd(&stream_); }
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;
  z_stream* operator->() { return &stream_; }
  z_stream* get() { return &stream_; }

 private:
  z_stream stream_{};
};

}  // namespace

DecoderLimits decoderLimitsFor(std::uint64_t entryCount) {
  constexpr std::uint64_t kFewEntries = 20'000;
  DecoderLimits limits;
  if (entryCount <= kFewEntries) limits.wholeEntry = 8 * 1024 * 1024;
  return limits;
}

char* EntryDecoder::Buffer::reserve(size_t size) {
  size = std::max<size_t>(size, 1);
  if (size > capacity_) {
    data_.reset();
    data_.reset(new char[size]);
    capacity_ = size;
  }
  return data_.get();
}

// Deflated entries are inflated whole up to a limit: larger whole buffers cost more memory than
// they save time.
EntryDecoder::EntryDecoder(DecoderLimits limits) : limits_(limits), inflater_(libdeflate_alloc_decompressor()) {
  if (!inflater_) throw std::bad_alloc();
}

EntryDecoder::~EntryDecoder() { libdeflate_free_decompressor(inflater_); }

bool EntryDecoder::decode(StoredSource& stored, const EntryInfo& info, const std::string& displayName,
                          const ContentSink& sink) {
  if (!info.sizeKnown) return true;
  // Some tools mark an empty file deflated though they store no deflate data for it at all.
  if (info.method == ZIP_CM_STORE || info.storesNothing) return copyStored(stored, info, displayName, sink);
  if (info.size <= limits_.wholeEntry && info.storedSize <= limits_.wholeEntry + limits_.piece) {
    return inflateWhole(stored, info, displayName, sink);
  }
  return inflateStream(stored, info, displayName, sink);
}

bool EntryDecoder::copyStored(StoredSource& stored, const EntryInfo& info,
                              const std::string& displayName, const ContentSink& sink) {
  char* piece = input_.reserve(limits_.piece);
  std::uint32_t crc = 0;
  for (std::uint64_t done = 0; done < info.size;) {
    const std::int64_t read = stored.read(piece, std::min<std::uint64_t>(limits_.piece, info.size - done));
    if (read < 0) raiseReadError(displayName);
    if (read == 0) raiseEndsEarly(info, crc, displayName);
    crc = crcOf(crc, piece, static_cast<size_t>(read));
    done += static_cast<std::uint64_t>(read);
    if (!sink(piece, static_cast<size_t>(read))) return false;
  }
  const std::int64_t tail = stored.read(piece, 1);
  if (tail < 0) raiseReadError(displayName);
  if (tail > 0) raiseRunsPast(displayName);
  checkCrc(info, crc, displayName);
  return true;
}

bool EntryDecoder::inflateWhole(StoredSource& stored, const EntryInfo& info,
                                const std::string& displayName, const ContentSink& sink) {
  const size_t storedSize = static_cast<size_t>(info.storedSize), size = static_cast<size_t>(info.size);
  char* in = input_.reserve(storedSize);
  for (size_t got = 0; got < storedSize;) {
    const std::int64_t read = stored.read(in + got, storedSize - got);
    // The library reads exactly the stored size; less is an archive that ends too soon.
    if (read <= 0) raiseReadError(displayName);
    got += static_cast<size_t>(read);
  }
  char* out = output_.reserve(size);
  size_t produced = 0;
  switch (libdeflate_deflate_decompress(inflater_, in, storedSize, out, size, &produced)) {
    case LIBDEFLATE_SUCCESS:
      break;
    case LIBDEFLATE_INSUFFICIENT_SPACE:
      raiseRunsPast(displayName);
    default:
      raiseReadError(displayName);
  }
  const std::uint32_t crc = crcOf(0, out, produced);
  if (produced < size) raiseEndsEarly(info, crc, displayName);
  checkCrc(info, crc, displayName);
  return size == 0 || sink(out, size);
}

bool EntryDecoder::inflateStream(StoredSource& stored, const EntryInfo& info,
                                 const std::string& displayName, const ContentSink& sink) {
  InflateStream stream;
  char* in = input_.reserve(limits_.piece);
  char* out = output_.reserve(limits_.piece);
  std::uint32_t crc = 0;
  std::uint64_t produced = 0;
  // More input is read only once inflate has stopped for want of it: a call that filled the
  // output piece may leave output pending inside zlib even when all the input is consumed, and
  // the end of the stored data is then no proof that the entry ends early.
  bool outputFull = false;
  for (bool ended = false; !ended;) {
    if (stream->avail_in == 0 && !outputFull) {
      const std::int64_t read = stored.read(in, limits_.piece);
      if (read < 0) raiseReadError(displayName);
      if (read == 0) raiseEndsEarly(info, crc, displayName);
      stream->next_in = reinterpret_cast<Bytef*>(in);
      stream->avail_in = static_cast<uInt>(read);
    }
    stream->next_out = reinterpret_cast<Bytef*>(out);
    stream->avail_out = static_cast<uInt>(limits_.piece);
    const int result = inflate(stream.get(), Z_NO_FLUSH);
    if (result == Z_STREAM_END) {
      ended = true;
    } else if (result != Z_OK && result != Z_BUF_ERROR) {
      raiseReadError(displayName);
    }
    outputFull = stream->avail_out == 0;
    const size_t count = limits_.piece - stream->avail_out;
    if (count > info.size - produced) raiseRunsPast(displayName);
    crc = crcOf(crc, out, count);
    produced += count;
    if (count > 0 && !sink(out, count)) return false;
  }
  if (produced < info.size) raiseEndsEarly(info, crc, displayName);
  checkCrc(info, crc, displayName);
  return true;
}
