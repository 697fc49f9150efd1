#include "packed_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr DWORD kBuffer = 1 << 20;
// What the archive library records for entries that it deflates itself at its default level,
// and for those it then stores because deflate did not shrink them: version 2.0 needed to
// extract; general-purpose bits 1-2 (the deflate options) "maximum compression" when deflated.
constexpr zip_uint8_t kVersionNeeded = 20;
constexpr zip_uint16_t kDeflateOptionBits = 0x0006;
constexpr zip_uint16_t kMaximumCompression = 0x0002;

}  // namespace

struct PackedSources::Reader {
  Reader(PackedSources& owner, std::size_t index) : owner(owner), index(index) { zip_error_init(&error); }
  ~Reader() { zip_error_fini(&error); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  PackedSources& owner;
  const std::size_t index;
  std::uint64_t position = 0;
  zip_error_t error;
};

PackedSources::PackedSources(const PackedFiles& packed)
    : packed_(packed),
      // One byte more: a stored file's last read asks for one byte past its end.
      buffer_(new char[kBuffer + 1]),
      bufferEntry_(packed.size()),
      failed_(packed.size()) {}

zip_source_t* PackedSources::source(zip_t* archive, std::size_t index) {
  auto reader = std::make_unique<Reader>(*this, index);
  zip_source_t* source = zip_source_function(archive, call, reader.get());
  if (source) (void)reader.release();  // freed by the source
  return source;
}

zip_int64_t PackedSources::call(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  Reader& reader = *static_cast<Reader*>(state);
  const PackedEntry& entry = reader.owner.packed_[reader.index];
  switch (command) {
    case ZIP_SOURCE_OPEN:
      reader.position = 0;
      return 0;
    case ZIP_SOURCE_READ:
      return reader.owner.read(reader, data, length);
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_STAT: {
      zip_stat_t* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &reader.error);
      if (!stat) return -1;
      stat->valid |= ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_MTIME |
                     ZIP_STAT_ENCRYPTION_METHOD;
      stat->size = reader.owner.packed_.file(reader.index).size;
      stat->comp_size = entry.packedSize;
      stat->comp_method = entry.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
      stat->mtime = reader.owner.packed_.file(reader.index).modified;
      stat->encryption_method = ZIP_EM_NONE;
      // For stored data the library computes the CRC itself, from the bytes it writes.
      if (!entry.stored) {
        stat->valid |= ZIP_STAT_CRC;
        stat->crc = entry.crc;
      }
      return sizeof(*stat);
    }
    case ZIP_SOURCE_GET_FILE_ATTRIBUTES: {
      auto* attributes = ZIP_SOURCE_GET_ARGS(zip_file_attributes_t, data, length, &reader.error);
      if (!attributes) return -1;
      attributes->valid |= ZIP_FILE_ATTRIBUTES_VERSION_NEEDED | ZIP_FILE_ATTRIBUTES_GENERAL_PURPOSE_BIT_FLAGS;
      attributes->version_needed = kVersionNeeded;
      attributes->general_purpose_bit_mask = kDeflateOptionBits;
      attributes->general_purpose_bit_flags = entry.stored ? 0 : kMaximumCompression;
      return sizeof(*attributes);
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&reader.error, data, length);
    case ZIP_SOURCE_FREE:
      delete &reader;
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return ZIP_SOURCE_SUPPORTS_READABLE | zip_source_make_command_bitmap(ZIP_SOURCE_GET_FILE_ATTRIBUTES, -1);
    default:
      zip_error_set(&reader.error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

zip_int64_t PackedSources::read(Reader& reader, void* data, zip_uint64_t length) {
  const PackedEntry& entry = packed_[reader.index];
  if (length == 0 || reader.position >= entry.packedSize) return 0;
  if (bufferEntry_ != reader.index || reader.position < bufferStart_ ||
      reader.position >= bufferStart_ + bufferLength_) {
    if (!fill(reader)) {
      if (failed_ == packed_.size()) failed_ = reader.index;
      zip_error_set(&reader.error, ZIP_ER_READ, EIO);
      return -1;
    }
  }
  const std::uint64_t count = std::min<std::uint64_t>(length, bufferStart_ + bufferLength_ - reader.position);
  std::memcpy(data, buffer_.get() + (reader.position - bufferStart_), count);
  reader.position += count;
  return static_cast<zip_int64_t>(count);
}

bool PackedSources::fill(Reader& reader) {
  const WalkedFile& file = packed_.file(reader.index);
  const PackedEntry& entry = packed_[reader.index];
  const std::uint64_t remaining = entry.packedSize - reader.position;
  const DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>(remaining, kBuffer));
  // A stored file is read one byte past its walked size at its end, to notice that it grew.
  const DWORD asked = wanted + (entry.stored && remaining <= kBuffer ? 1 : 0);
  HANDLE handle = entry.stored ? file.file.get() : packed_.spool(entry.spool);
  const std::uint64_t at = (entry.stored ? 0 : entry.offset) + reader.position;
  bufferEntry_ = packed_.size();
  DWORD got = 0;
  if (!readAt(handle, at, buffer_.get(), asked, got) || got != wanted) return false;
  bufferEntry_ = reader.index;
  bufferStart_ = reader.position;
  bufferLength_ = wanted;
  return true;
}
