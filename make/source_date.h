#pragma once
// SOURCE_DATE_EPOCH, the reproducible-builds convention: when set, every time the output carries
// (each entry's time, the program header's time stamp) is that one, so that one tree gives the
// same bytes on any machine, on any day and in any time zone.
#include <cstdint>
#include <optional>
#include <string>

struct SourceDate {
  bool valid = true;                     // false: set, but not a number of seconds
  std::optional<std::uint32_t> seconds;  // since 1970-01-01 00:00 UTC; none when not set
  std::string given;                     // the variable's text as given, for the error line
};

// Reads the variable: decimal digits only, at most 4294967295 (the header's time stamp holds no
// later time).
[[nodiscard]] SourceDate readSourceDate();

// The DOS date and time of `seconds`, in UTC, within the years 1980 to 2107 that DOS dates hold.
void dosTimeOf(std::uint32_t seconds, std::uint16_t& dosTime, std::uint16_t& dosDate);
