#pragma once
// Turns an entry's stored bytes back into its content: stored entries as they are, deflated
// ones of up to a limit (1 MiB, or 8 MiB in archives of few entries) in one piece with
// libdeflate (two to three times as fast as zlib on the same data), larger ones streamed through
// zlib in pieces of 256 KiB so that memory stays bounded. Every entry's content is checked
// against its CRC.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "payload/archive_reader.h"

struct libdeflate_decompressor;

// Receives an entry's content piece by piece, in order; false stops the decoding.
using ContentSink = std::function<bool(const char* data, size_t size)>;

// The sizes at which the decoder changes its way of working; other values are for tests.
struct DecoderLimits {
  size_t piece = 256 * 1024;               // read, copied and streamed in pieces of this size
  std::uint64_t wholeEntry = 1024 * 1024;  // deflated entries up to this size are inflated whole
};

// The limits for an archive of `entryCount` entries. Each unpacking thread keeps buffers for
// the largest entry it inflated whole (the entry and its stored data), and the archive's
// directory takes memory by the entry: archives of up to 20,000 entries inflate entries of up
// to 8 MiB whole, larger ones up to 1 MiB, so that the peak stays within 64 MiB either way.
[[nodiscard]] DecoderLimits decoderLimitsFor(std::uint64_t entryCount);

class EntryDecoder {
 public:
  explicit EntryDecoder(DecoderLimits limits = DecoderLimits{});
  ~EntryDecoder();
  EntryDecoder(const EntryDecoder&) = delete;
  EntryDecoder& operator=(const EntryDecoder&) = delete;

  // Decodes the entry `info` describes (stored or deflated; the caller refuses other methods)
  // from `stored` into `sink`; an entry of unknown size gives nothing. False when the sink
  // asked to stop. `displayName` names the entry in error texts. Raises ZipUnpackagerException:
  // data that cannot be read, does not inflate or fails its CRC raises the error with
  // kArchiveReadErrorExitCode (after "error reading file in archive/n" on the error stream);
  // data that ends before the entry's size or runs past it, "damaged archive, ..." with the
  // same exit code.
  bool decode(StoredSource& stored, const EntryInfo& info, const std::string& displayName, const ContentSink& sink);

 private:
  class Buffer {
   public:
    // At least `size` bytes (one at least), kept for the next entry.
    char* reserve(size_t size);

   private:
    std::unique_ptr<char[]> data_;
    size_t capacity_ = 0;
  };

  bool copyStored(StoredSource& stored, const EntryInfo& info, const std::string& displayName,
                  const ContentSink& sink);
  bool inflateWhole(StoredSource& stored, const EntryInfo& info, const std::string& displayName,
                    const ContentSink& sink);
  bool inflateStream(StoredSource& stored, const EntryInfo& info, const std::string& displayName,
                     const ContentSink& sink);

  DecoderLimits limits_;
  libdeflate_decompressor* inflater_;
  Buffer input_;
  Buffer output_;
};
