#pragma once
#include <string>

// Replaces the string `name` of the first translation's string table in the version
// information of `file`. The block is rebuilt with correct lengths, so a value of any length
// fits. `file` must be a full path: the system reads version information through the DLL
// loader, which looks a relative name up along the DLL search path. False after a failure,
// reported on the error stream with its line ("file version info size equals to zero", "can't
// query version info property: <name>", "Begin Update Resource failed", "Update resource error"
// or "End update error", the last two with the system error report).
[[nodiscard]] bool setVersionString(const std::wstring& file, const std::wstring& name, const std::wstring& value);
