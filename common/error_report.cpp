#include "error_report.h"

#include "failure.h"
#include "text.h"

std::wstring systemReason(unsigned long code) {
  std::wstring reason = systemErrorText(code);
  while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' || reason.back() == L' ')) reason.pop_back();
  return reason.empty() ? L"error " + decimalText(code) : reason;
}

void raiseFileSystemError(const char* operation, const std::wstring& path, unsigned long code) {
  throw Failure(std::string("filesystem error: ") + operation + ": " + toNarrow(systemReason(code)) + " [" +
                           toNarrow(path) + "]");
}

std::wstring lastErrorBoxText(const std::wstring& name, long code, const std::wstring& systemText) {
  return name + L" failed with error " + decimalText(code) + L": " + systemText;
}

std::wstring systemReportText(unsigned long code) {
  // The system's own text, its inserts ("%1") left as they are: there is nothing to fill them
  // with, and asking the system to fill them fails for every text that has one.
  std::wstring text = systemErrorText(code);
  // Signed, as "%i" shows it: 0x80070005 reads -2147024891.
  if (text.empty()) text = L"Unknown error " + decimalText(static_cast<int>(code));
  return text;
}
