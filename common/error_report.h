#pragma once
// Error boxes that explain the last platform error.
#include <string>

// The system's message text for an error code (with its own line break), or empty when the
// system has none.
[[nodiscard]] std::wstring systemErrorText(unsigned long code);

// The system's text for a code without its line break, or "error <code>" when it has none.
[[nodiscard]] std::wstring systemReason(unsigned long code);

// Raises Failure "filesystem error: <operation>: <systemReason(code)> [<path>]" (8-bit,
// ANSI code page): a file-system operation that failed, worded alike in both programs.
[[noreturn]] void raiseFileSystemError(const char* operation, const std::wstring& path, unsigned long code);

// "<name> failed with error <code>: <system text>".
[[nodiscard]] std::wstring lastErrorBoxText(const std::wstring& name, long code, const std::wstring& systemText);

// Setup program: shows the last error of the named operation in a box captioned "Error".
void showLastError(const std::wstring& name);

// Builder: the text its error box shows for a code: the system's text with any inserts ("%1")
// as they stand, or "Unknown error <code>" with the code as a signed number when the system has
// none.
[[nodiscard]] std::wstring systemReportText(unsigned long code);

// Builder: writes "Error num: <code>" (the code unsigned, as the system gives it) on the error
// stream and shows systemReportText for the last error in a box captioned "Error".
void SystemErrorReport();
