#pragma once
// The running system's version as one ordered number, computed once before the program's
// entry runs.
#include <cstdint>
#include <string>

// 0 = unknown; 1..3 = the 9x family (95, 98, Me); 4..12 = the NT family from NT 4.0 to
// Windows 10 and later. Values are ordered by release so callers can compare them.
using OsVersion = std::int32_t;

namespace os_release {
constexpr OsVersion windowsXp = 6;
constexpr OsVersion windowsVista = 8;
constexpr OsVersion windows7 = 9;
}  // namespace os_release

// Maps a platform id (1 = 9x, 2 = NT) and a major.minor version to an OsVersion.
[[nodiscard]] OsVersion osVersionFor(unsigned long platformId, unsigned long major, unsigned long minor);

// The value for the system detected during static initialization (the extended record first,
// then the basic one); 0 when both queries failed.
[[nodiscard]] OsVersion osVersion();

// Whether the system detected then is of the NT family from major version 6 on (Vista and later,
// previews that report 6.4 included).
[[nodiscard]] bool isNt6OrLater();

// The detected system's "major.minor.build", for logs.
[[nodiscard]] std::wstring osVersionText();
