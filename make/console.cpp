#include "console.h"

#include <windows.h>

#include <cstdio>

#include "error_report.h"
#include "system_library.h"
#include "text.h"

void printProgress(ProgressString id) {
  // Bound at run time, as the builder's other window-manager call: its DLL, imported at link
  // time, would bring its own imports in before the DLL search is restricted.
  static constinit LazySystemEntry<decltype(&LoadStringW)> loadStringEntry(L"user32.dll", "LoadStringW");
  const auto loadString = loadStringEntry.get();
  wchar_t text[100] = {};
  const int length = loadString ? loadString(GetModuleHandleW(nullptr), id, text, 100) : 0;
  const std::string line = toNarrow(std::wstring(text, length > 0 ? static_cast<size_t>(length) : 0)) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void printError(const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void printError(const std::wstring& line) { printError(toNarrow(line)); }

void printSystemError(const std::wstring& what, unsigned long code) { printError(what + L": " + systemReason(code)); }
