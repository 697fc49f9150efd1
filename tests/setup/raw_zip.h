#pragma once
// Archives written byte by byte, for tests that need what the builder never writes.
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

// An archive written byte by byte: each entry as given (method 0 or 8, its stored bytes, its
// size and CRC), with no data descriptors or extra fields.
struct RawEntry {
  std::string name;
  std::uint16_t method;
  std::string stored;
  std::uint32_t size;
  std::uint32_t crc;
};
inline std::string littleEndian(std::uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

inline std::string rawZip(const std::vector<RawEntry>& entries) {
  const auto le = littleEndian;
  std::string local, central;
  for (const RawEntry& e : entries) {
    const std::string common = le(20, 2) + le(0, 2) + le(e.method, 2) + le(0, 4) + le(e.crc, 4) +
                               le(static_cast<std::uint32_t>(e.stored.size()), 4) + le(e.size, 4) +
                               le(static_cast<std::uint32_t>(e.name.size()), 2) + le(0, 2);
    central += std::string("PK\x01\x02", 4) + le(20, 2) + common + le(0, 6) + le(0, 4) +
               le(static_cast<std::uint32_t>(local.size()), 4) + e.name;
    local += std::string("PK\x03\x04", 4) + common + e.name + e.stored;
  }
  const auto count = static_cast<std::uint32_t>(entries.size());
  return local + central + std::string("PK\x05\x06", 4) + le(0, 4) + le(count, 2) + le(count, 2) +
         le(static_cast<std::uint32_t>(central.size()), 4) + le(static_cast<std::uint32_t>(local.size()), 4) + le(0, 2);
}

// The same archive ended by ZIP64 records: its end record names its directory through them.
inline std::string withZip64End(const std::string& zip) {
  const auto le = littleEndian;
  const std::string end = zip.substr(zip.size() - 22);
  const auto field = [&end](size_t at, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(end[at + i]);
    return value;
  };
  const std::uint64_t record = zip.size() - 22, count = field(8, 2);
  return zip.substr(0, record) + "PK\x06\x06" + le(44, 8) + le(45, 2) + le(45, 2) + le(0, 8) + le(count, 8) +
         le(count, 8) + le(field(12, 4), 8) + le(field(16, 4), 8) + "PK\x06\x07" + le(0, 4) + le(record, 8) +
         le(1, 4) + end.substr(0, 16) + le(0xFFFFFFFF, 4) + end.substr(20);
}

inline RawEntry storedEntry(const std::string& name, const std::string& data) {
  return {name, 0, data, static_cast<std::uint32_t>(data.size()),
          static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())))};
}
