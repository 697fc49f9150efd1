#include "console.h"

#include <cstdio>

#include "error_report.h"
#include "text.h"

void printProgress(ProgressString id) {
  const std::string line = progressText(id) + "\n";
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
