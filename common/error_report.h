#pragma once
// Error boxes that explain the last platform error.
#include <string>

// The system's message text for an error code (with its own line break), or empty when the
// system has none.
[[nodiscard]] std::wstring systemErrorText(unsigned long code);

// "<name> failed with error <code>: <system text>".
[[nodiscard]] std::wstring lastErrorBoxText(const std::wstring& name, long code, const std::wstring& systemText);

// Setup program: shows the last error of the named operation in a box captioned "Error".
void showLastError(const std::wstring& name);

// Builder: writes "Error num: <code>" on the error stream and shows the system's text for the
// last error ("Unknown error <code>" when there is none) in a box captioned "Error".
void SystemErrorReport();
