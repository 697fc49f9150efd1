#pragma once
#include <string>

// The window title for a program started as `programPath`: the file name without folder,
// without an alternate-stream suffix and without its last extension. "." and ".." keep their
// dots, a name whose only dot leads keeps it, and a trailing dot goes with nothing after it.
[[nodiscard]] std::wstring windowTitleFromPath(const std::wstring& programPath);
