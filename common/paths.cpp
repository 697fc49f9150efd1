#include "paths.h"

#include <windows.h>

#include <vector>

std::wstring fullPath(const std::wstring& path) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) return path;
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(length + 1);  // the size it needs, terminator included
  }
}

std::wstring extendedPath(const std::wstring& path) {
  std::wstring full = fullPath(path);
  if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) return full;
  // Extended-length paths are taken literally; a trailing separator would double in a join.
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::wstring joinPath(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/') return folder + name;
  return folder + L"\\" + name;
}
