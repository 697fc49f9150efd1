// The error texts of error_report.h on POSIX systems: the C library's.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "error_report.h"
#include "text.h"

std::wstring systemErrorText(unsigned long code) {
  char buffer[256];
  // The GNU form: the text may be a static one rather than the buffer.
  const char* text = ::strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  return text ? fromUtf8(text) : std::wstring();
}

void SystemErrorReport() {
  const unsigned long code = static_cast<unsigned long>(errno);
  std::fputs(("Error num: " + std::to_string(code) + "\n" + toNarrow(systemReportText(code)) + "\n").c_str(), stderr);
  std::fflush(stderr);
}
