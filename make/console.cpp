#include "console.h"

#include <windows.h>

#include <cstdio>

#include "text.h"

void printProgress(ProgressString id) {
  wchar_t text[100] = {};
  const int length = LoadStringW(GetModuleHandleW(nullptr), id, text, 100);
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
