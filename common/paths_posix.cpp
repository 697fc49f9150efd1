// The paths of paths.h on POSIX systems: "/" between components, no length limit to lift.
#include <unistd.h>

#include <vector>

#include "paths.h"
#include "text.h"

std::wstring fullPath(const std::wstring& path) {
  if (path.empty()) return path;
  std::wstring joined = path;
  if (path.front() != L'/') {
    std::vector<char> buffer(4096);
    while (!::getcwd(buffer.data(), buffer.size())) {
      if (buffer.size() > (1u << 20)) return path;
      buffer.resize(buffer.size() * 2);
    }
    joined = joinPath(fromUtf8(buffer.data()), path);
  }
  // "." and ".." resolved and doubled separators dropped, by the names alone (as Windows does).
  std::vector<std::wstring> parts;
  size_t start = 1;
  while (start <= joined.size()) {
    size_t slash = joined.find(L'/', start);
    if (slash == std::wstring::npos) slash = joined.size();
    const std::wstring part = joined.substr(start, slash - start);
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.push_back(part);
    }
    start = slash + 1;
  }
  std::wstring full;
  for (const std::wstring& part : parts) full += L"/" + part;
  return full.empty() ? L"/" : full;
}

std::wstring extendedPath(const std::wstring& path) { return fullPath(path); }

std::wstring joinPath(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty() || folder.back() == L'/') return folder + name;
  return folder + L"/" + name;
}
