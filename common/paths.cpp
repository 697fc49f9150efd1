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

namespace {

constexpr std::uint64_t kHashStart = 14695981039346656037ull;

std::uint64_t hashStep(std::uint64_t hash, wchar_t c) { return (hash ^ static_cast<std::uint16_t>(c)) * 1099511628211ull; }

}  // namespace

std::uint64_t pathHash(std::wstring path, std::vector<std::uint64_t>& folderHashes) {
  if (!path.empty()) CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
  std::uint64_t hash = kHashStart;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == L'\\' && i > 0) folderHashes.push_back(hash);
    hash = hashStep(hash, path[i]);
  }
  return hash;
}

std::uint64_t pathHash(std::wstring path) {
  std::vector<std::uint64_t> folders;
  return pathHash(std::move(path), folders);
}
