#include "payload_format.h"

std::string archiveOffsetText(std::uint64_t offset) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + offset % 10));
    offset /= 10;
  } while (offset != 0);
  return digits;
}

std::uint32_t parseArchiveOffset(const void* data, std::uint32_t size) {
  const auto* digits = static_cast<const signed char*>(data);
  std::uint32_t offset = 0;
  for (std::uint32_t i = 0; i < size; ++i) {
    offset = offset * 10u + static_cast<std::uint32_t>(static_cast<int>(digits[i]) - '0');
  }
  return offset;
}
