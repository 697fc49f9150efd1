#include "zip_writer.h"

#include "file_io.h"
#include "source_date.h"

#include <algorithm>

namespace {

constexpr std::size_t kBuffer = 1 << 20;
constexpr std::uint64_t kLimit = 0xFFFFFFFFull;  // 32-bit sizes and offsets, one value kept for ZIP64
constexpr std::uint64_t kMostEntries = 0xFFFF;
constexpr std::uint16_t kVersionNeeded = 20;
constexpr std::uint16_t kZip64Version = 45;
constexpr std::uint16_t kMadeBy = 63 | (3 << 8);  // 6.3, Unix
constexpr std::uint32_t kFileMode = 0100666u << 16;
constexpr std::uint16_t kUtf8Name = 0x0800;
constexpr std::uint16_t kDeflate = 8;

class Record {
 public:
  explicit Record(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  Record& u16(std::uint32_t value) { return put(value, 2); }
  Record& u32(std::uint64_t value) { return put(value, 4); }
  Record& u64(std::uint64_t value) { return put(value, 8); }
  Record& text(const std::string& value) {
    bytes_.insert(bytes_.end(), value.begin(), value.end());
    return *this;
  }

 private:
  Record& put(std::uint64_t value, int count) {
    for (int i = 0; i < count; ++i) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return *this;
  }
  std::vector<std::uint8_t>& bytes_;
};

std::uint16_t nameFlags(const std::string& name) {
  const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  return ascii ? 0 : kUtf8Name;
}

}  // namespace

DosClock::DosClock() : sourceDate_(readSourceDate().seconds) {}

void DosClock::convert(FileTime time, std::uint16_t& dosTime, std::uint16_t& dosDate) const {
  if (sourceDate_) {
    dosTimeOf(*sourceDate_, dosTime, dosDate);
    return;
  }
  CivilTime local;
  if (!localCivilTime(time, local)) {
    dosTime = 0;
    dosDate = (1 << 5) | 1;  // 1980-01-01
    return;
  }
  const unsigned year = std::clamp<unsigned>(local.year, 1980, 2107) - 1980;
  dosDate = static_cast<std::uint16_t>((year << 9) | (local.month << 5) | local.day);
  dosTime = static_cast<std::uint16_t>((local.hour << 11) | (local.minute << 5) | (local.second / 2));
}

ZipWriter::ZipWriter(NativeFile file) : file_(file) { buffer_.reserve(kBuffer); }

bool ZipWriter::begin(const ZipEntryInfo& entry) {
  const std::uint64_t headerOffset = offset_;
  if (entry.size >= kLimit || entry.packedSize >= kLimit || entry.name.size() > 0xFFFF ||
      headerOffset + 30 + entry.name.size() + entry.packedSize >= kLimit) {
    tooLarge_ = true;
    return false;
  }
  const std::uint16_t flags = nameFlags(entry.name) | (entry.deflated ? entry.deflateFlags : 0);
  const std::uint16_t method = entry.deflated ? kDeflate : 0;
  header_.clear();
  Record(header_)
      .u32(0x04034b50).u16(kVersionNeeded).u16(flags).u16(method).u16(entry.dosTime).u16(entry.dosDate)
      .u32(entry.crc).u32(entry.packedSize).u32(entry.size).u16(entry.name.size()).u16(0).text(entry.name);
  Record(directory_)
      .u32(0x02014b50).u16(kMadeBy).u16(kVersionNeeded).u16(flags).u16(method).u16(entry.dosTime)
      .u16(entry.dosDate).u32(entry.crc).u32(entry.packedSize).u32(entry.size).u16(entry.name.size())
      .u16(0).u16(0).u16(0).u16(0).u32(kFileMode).u32(headerOffset).text(entry.name);
  ++entries_;
  return put(header_.data(), header_.size());
}

bool ZipWriter::data(const void* bytes, std::size_t count) {
  if (buffer_.size() + count <= kBuffer) return put(bytes, count);
  // Large pieces go out as they are, behind what is buffered.
  if (!flush()) return false;
  if (!writeAll(file_, bytes, count)) return false;
  offset_ += count;
  return true;
}

bool ZipWriter::finish() {
  const std::uint64_t directoryOffset = offset_;
  const std::uint64_t directorySize = directory_.size();
  if (directoryOffset + directorySize + 98 >= kLimit) {
    tooLarge_ = true;
    return false;
  }
  std::vector<std::uint8_t> end;
  Record record(end);
  if (entries_ >= kMostEntries) {
    // The ZIP64 end record and its locator, then the classic end record pointing to them.
    record.u32(0x06064b50).u64(44).u16(kZip64Version).u16(kZip64Version).u32(0).u32(0).u64(entries_).u64(entries_)
        .u64(directorySize).u64(directoryOffset);
    record.u32(0x07064b50).u32(0).u64(directoryOffset + directorySize).u32(1);
  }
  const std::uint64_t count = std::min(entries_, kMostEntries);
  record.u32(0x06054b50).u16(0).u16(0).u16(count).u16(count).u32(directorySize).u32(directoryOffset).u16(0);
  return put(directory_.data(), directory_.size()) && put(end.data(), end.size()) && flush();
}

bool ZipWriter::put(const void* bytes, std::size_t count) {
  const auto* at = static_cast<const std::uint8_t*>(bytes);
  while (count > 0) {
    if (buffer_.size() == kBuffer && !flush()) return false;
    const std::size_t piece = std::min(count, kBuffer - buffer_.size());
    buffer_.insert(buffer_.end(), at, at + piece);
    at += piece;
    count -= piece;
    offset_ += piece;
  }
  return true;
}

bool ZipWriter::flush() {
  if (buffer_.empty()) return true;
  const bool ok = writeAll(file_, buffer_.data(), buffer_.size());
  buffer_.clear();
  return ok;
}
