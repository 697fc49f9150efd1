#pragma once
// The builder's console output: progress lines on standard output, error lines on the error
// stream, both in the ANSI code page on Windows (UTF-8 elsewhere) and each ending a line.
#include <string>

#include "error_report.h"  // systemReason

// Progress strings of the builder's own string table.
enum ProgressString : unsigned { kArchiving = 3, kCreatingSfx = 4, kSucceeded = 5 };

// The progress line in the user's language, without its line end.
[[nodiscard]] std::string progressText(ProgressString id);
void printProgress(ProgressString id);
void printError(const std::string& line);
void printError(const std::wstring& line);
// The system's text for an error code on one line, or "error <code>" when it has none.
// Prints "<what>: <systemReason(code)>".
void printSystemError(const std::wstring& what, unsigned long code);
