#pragma once
// The format the builder writes and the setup program reads. A built setup program is the
// program image, then the ZIP archive of the distribution running to the end of the file (or,
// once a publisher has signed the program, to the signature table that signing appends). Two
// resources of the image, of type RCDATA in the neutral language, describe the payload.
#include <cstdint>
#include <string>

constexpr std::uint16_t kPayloadResourceType = 10;      // RT_RCDATA
constexpr std::uint16_t kPayloadResourceLanguage = 0;   // LANG_NEUTRAL
// PayloadOffsetResource: the archive's file offset as ASCII decimal digits, nothing else.
constexpr std::uint16_t kPayloadOffsetResourceId = 1;
// SetupNameResource, when present: the setup file's name in the ANSI code page with one
// terminating zero byte. Without it the setup program runs in distribution mode.
constexpr std::uint16_t kSetupNameResourceId = 2;

// The offset's text as the resource holds it.
[[nodiscard]] std::string archiveOffsetText(std::uint64_t offset);

// The archive offset from the resource's digits: value * 10 + (byte - '0') per byte, in
// unsigned 32-bit arithmetic. The bytes are not validated.
[[nodiscard]] std::uint32_t parseArchiveOffset(const void* data, std::uint32_t size);
