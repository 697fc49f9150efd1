#include "error_report.h"

#include <windows.h>

#include "handles.h"
#include "system_library.h"

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

// The window manager is reached at run time: the builder imports no DLL that could bring DLLs
// of its own in from the program's folder before the search is restricted.
void errorBox(const std::wstring& text) {
  using MessageBoxFn = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
  static const auto messageBox = systemEntry<MessageBoxFn>(L"user32.dll", "MessageBoxW");
  if (messageBox) messageBox(nullptr, text.c_str(), L"Error", MB_OK);
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

std::wstring lastErrorBoxText(const std::wstring& name, long code, const std::wstring& systemText) {
  // Sized as the platform's own examples do: both texts twice over plus room for the format.
  std::vector<wchar_t> text((systemText.size() + name.size()) * 2 + 40, L'\0');
  std::swprintf(text.data(), text.size(), L"%ls failed with error %ld: %ls", name.c_str(), code, systemText.c_str());
  return text.data();
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
  if (text.empty()) {
    wchar_t unknown[64];
    // Signed, as "%i" shows it: 0x80070005 reads -2147024891.
    std::swprintf(unknown, 64, L"Unknown error %i", static_cast<int>(code));
    text = unknown;
  }
  return text;
}

void SystemErrorReport() {
  const DWORD code = GetLastError();
  std::fprintf(stderr, "Error num: %lu\n", code);
  std::fflush(stderr);
  errorBox(systemReportText(code));
}
