#include "error_report.h"

#include <windows.h>

#include "failure.h"
#include "handles.h"
#include "text.h"
#include "system_library.h"

#include <cstdio>

namespace {

// The window manager is reached at run time: the builder imports no DLL that could bring DLLs
// of its own in from the program's folder before the search is restricted.
void errorBox(const std::wstring& text) {
  static constinit LazySystemEntry<decltype(&MessageBoxW)> messageBox(L"user32.dll", "MessageBoxW");
  if (const auto show = messageBox.get()) show(nullptr, text.c_str(), L"Error", MB_OK);
}

}  // namespace

std::wstring systemErrorText(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  const UniqueLocal owner(text);
  if (length == 0 || !text) return {};
  return std::wstring(text, length);
}

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

void showLastError(const std::wstring& name) {
  const DWORD code = GetLastError();
  const std::wstring text = lastErrorBoxText(name, static_cast<long>(code), systemErrorText(code));
  errorBox(text);
}

std::wstring systemReportText(unsigned long code) {
  // The system's own text, its inserts ("%1") left as they are: there is nothing to fill them
  // with, and asking the system to fill them fails for every text that has one.
  std::wstring text = systemErrorText(code);
  // Signed, as "%i" shows it: 0x80070005 reads -2147024891.
  if (text.empty()) text = L"Unknown error " + decimalText(static_cast<int>(code));
  return text;
}

void SystemErrorReport() {
  const DWORD code = GetLastError();
  std::fputs(("Error num: " + std::to_string(code) + "\n").c_str(), stderr);
  std::fflush(stderr);
  errorBox(systemReportText(code));
}
