// The path hash, in an object of its own: it folds case with the window manager's upper case,
// which a program that never hashes paths (the builder) must not import.
#include <windows.h>

#include "paths.h"

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
