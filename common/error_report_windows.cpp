// The error texts and boxes of error_report.h that come from Windows itself.
#include "error_report.h"

#include <windows.h>

#include <cstdio>

#include "handles.h"
#include "system_library.h"
#include "text.h"

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

void showLastError(const std::wstring& name) {
  const DWORD code = GetLastError();
  const std::wstring text = lastErrorBoxText(name, static_cast<long>(code), systemErrorText(code));
  errorBox(text);
}

void SystemErrorReport() {
  const DWORD code = GetLastError();
  std::fputs(("Error num: " + std::to_string(code) + "\n").c_str(), stderr);
  std::fflush(stderr);
  errorBox(systemReportText(code));
}
