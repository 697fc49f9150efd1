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
inline std::string rawZip(const std::vector<RawEntry>& entries) {
  const auto le = [](std::uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
  };
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

inline RawEntry storedEntry(const std::string& name, const std::string& data) {
  return {name, 0, data, static_cast<std::uint32_t>(data.size()),
          static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())))};
}
