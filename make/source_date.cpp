#include "source_date.h"

#include "file_system.h"
#include "text.h"

SourceDate readSourceDate() {
  SourceDate date;
  const std::wstring value = environmentVariable(L"SOURCE_DATE_EPOCH");
  if (value.empty()) return date;
  date.given = toNarrow(value);
  std::uint64_t seconds = 0;
  date.valid = !value.empty() && value.size() <= 10;
  for (const wchar_t c : value) {
    if (c < L'0' || c > L'9') date.valid = false;
    seconds = seconds * 10 + static_cast<unsigned>(c - L'0');
  }
  if (seconds > 0xFFFFFFFFull) date.valid = false;
  if (date.valid) date.seconds = static_cast<std::uint32_t>(seconds);
  return date;
}

void dosTimeOf(std::uint32_t seconds, std::uint16_t& dosTime, std::uint16_t& dosDate) {
  // Days since 1970-01-01 to a civil date (proleptic Gregorian), in UTC.
  const std::uint32_t days = seconds / 86400, daySeconds = seconds % 86400;
  const std::uint32_t shifted = days + 719468;
  const std::uint32_t era = shifted / 146097, dayOfEra = shifted % 146097;
  const std::uint32_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::uint32_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::uint32_t monthIndex = (5 * dayOfYear + 2) / 153;
  const std::uint32_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const std::uint32_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const std::uint32_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  if (year < 1980) {
    dosTime = 0;
    dosDate = (1 << 5) | 1;  // 1980-01-01 00:00, the earliest a DOS date holds
    return;
  }
  dosDate = static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
  dosTime = static_cast<std::uint16_t>(((daySeconds / 3600) << 11) | ((daySeconds / 60 % 60) << 5) | (daySeconds % 60 / 2));
}
