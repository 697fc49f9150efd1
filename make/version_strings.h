#pragma once
#include <string>

// Replaces the string `name` of the first translation's string table in the version
// information of `file`. The block is rebuilt with correct lengths, so a value of any length
// fits. `file` must be a full path: the system reads version information through the DLL
// loader, which looks a relative name up along the DLL search path. Reports its own failures on the error stream and never stops the build.
void setVersionString(const std::wstring& file, const std::wstring& name, const std::wstring& value);
