#pragma once
// Writes a ZIP archive front to back into a file: each entry's local header and data as the entry
// comes, the central directory and the end records at the end. Entries carry their sizes and
// CRC up front, so nothing is written twice and the file is never sought back. The records are
// those the archive library writes for the same entries (made by 6.3 for Unix, mode 0666,
// version 2.0 needed, the UTF-8 flag on names that are not ASCII); with more than 65,535
// entries the end records are the ZIP64 ones. Archives reach at most 4 GiB - 1: a setup program
// could not carry more.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "file_system.h"
#include "handles.h"

// The line that ends a build whose archive would not fit.
inline constexpr const char* kArchiveTooLarge = "The archive is too large: a setup program must stay below 4 GiB";

// What an entry's records say about it.
struct ZipEntryInfo {
  std::string name;  // UTF-8
  bool deflated = false;
  std::uint16_t deflateFlags = 0;  // general-purpose bits 1-2 of a deflated entry
  std::uint32_t crc = 0;
  std::uint64_t size = 0;        // of the file's bytes
  std::uint64_t packedSize = 0;  // of the data that follows the local header
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = 0;
};

// File times as an archive records them: the local date and time in the two 16-bit MS-DOS
// fields, years before 1980 taken as 1980, under the zone's rule for the file's own day.
class DosClock {
 public:
  // With SOURCE_DATE_EPOCH set, every file gets its time, in UTC (see source_date.h).
  DosClock();
  void convert(FileTime time, std::uint16_t& dosTime, std::uint16_t& dosDate) const;

 private:
  std::optional<std::uint32_t> sourceDate_;
};

class ZipWriter {
 public:
  // Writes to `file` (open for writing, at its start). Does not own it.
  explicit ZipWriter(NativeFile file);

  // Begins an entry: its local header. Its packedSize bytes of data follow through data().
  // False when the file cannot be written or the archive would pass 4 GiB - 1 (tooLarge()).
  [[nodiscard]] bool begin(const ZipEntryInfo& entry);
  [[nodiscard]] bool data(const void* bytes, std::size_t count);

  // The central directory and the end records, and everything still buffered. False when the
  // file cannot be written or the archive would pass 4 GiB - 1.
  [[nodiscard]] bool finish();

  // Whether the last failure was the size limit.
  [[nodiscard]] bool tooLarge() const { return tooLarge_; }

 private:
  [[nodiscard]] bool put(const void* bytes, std::size_t count);
  [[nodiscard]] bool flush();

  NativeFile file_;
  std::uint64_t offset_ = 0;  // where the next byte goes in the archive
  std::vector<std::uint8_t> buffer_;
  std::vector<std::uint8_t> header_;  // an entry's local header, kept for its capacity
  std::vector<std::uint8_t> directory_;
  std::uint64_t entries_ = 0;
  bool tooLarge_ = false;
};
