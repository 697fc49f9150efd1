#include "window/window_title.h"

std::wstring windowTitleFromPath(const std::wstring& programPath) {
  const size_t slash = programPath.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? programPath : programPath.substr(slash + 1);
  const size_t colon = name.find(L':');
  if (colon != std::wstring::npos) name.erase(colon);
  if (name == L"." || name == L"..") return name;
  const size_t dot = name.rfind(L'.');
  if (dot == std::wstring::npos || dot == 0) return name;
  return name.substr(0, dot);
}

std::wstring firstArgument(const std::wstring& commandLine) {
  if (!commandLine.empty() && commandLine[0] == L'"') {
    return commandLine.substr(1, commandLine.find(L'"', 1) - 1);
  }
  return commandLine.substr(0, commandLine.find_first_of(L" \t"));
}
