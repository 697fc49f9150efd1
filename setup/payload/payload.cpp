#include "payload/payload.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

#include "handles.h"

DWORD readPayloadResource(WORD id, const void** data, HMODULE module) {
  if (!data) return 0;
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (!info) throw std::runtime_error("can't find local res");
  HGLOBAL loaded = LoadResource(module, info);
  if (!loaded) throw std::runtime_error("can't load local res");
  const void* bytes = LockResource(loaded);
  if (!bytes) throw std::runtime_error("can't lock local res");
  *data = bytes;
  return SizeofResource(module, info);
}

std::uint32_t parseArchiveOffset(const void* data, DWORD size) {
  const auto* digits = static_cast<const signed char*>(data);
  std::uint32_t offset = 0;
  for (DWORD i = 0; i < size; ++i) {
    offset = offset * 10u + static_cast<std::uint32_t>(static_cast<int>(digits[i]) - '0');
  }
  return offset;
}

std::wstring ownProgramPath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

std::uint32_t extractArchiveFile(const std::wstring& targetPath, std::uint32_t archiveOffset,
                                 const std::wstring& sourcePath, const std::atomic<bool>* cancel) {
  constexpr DWORD kChunk = 10'000'000;
  const std::wstring source = sourcePath.empty() ? ownProgramPath() : sourcePath;
  UniqueFile input(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));

  LARGE_INTEGER fileSize{};
  if (input && !GetFileSizeEx(input.get(), &fileSize)) fileSize.QuadPart = 0;
  // Nothing to copy when the offset lies at or past the end; the unpacker then reports the
  // empty archive copy.
  const std::uint64_t span =
      static_cast<std::uint64_t>(fileSize.QuadPart) > archiveOffset ? fileSize.QuadPart - archiveOffset : 0;

  UniqueFile output(CreateFileW(targetPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
  if (!output) throw std::runtime_error("can't create temporary zip file");
  if (!input || span == 0) return static_cast<std::uint32_t>(span);

  std::unique_ptr<char[]> buffer(new char[kChunk]);
  std::uint64_t copied = 0;
  while (copied < span) {
    if (cancel && cancel->load()) break;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(archiveOffset + copied);
    if (!SetFilePointerEx(input.get(), position, nullptr, FILE_BEGIN)) break;
    const DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>(kChunk, span - copied));
    DWORD read = 0;
    if (!ReadFile(input.get(), buffer.get(), wanted, &read, nullptr) || read == 0) break;
    DWORD written = 0;
    if (!WriteFile(output.get(), buffer.get(), read, &written, nullptr) || written == 0) break;
    copied += written;
    // A short write is not retried at the same position forever: the loop repositions the
    // source at the new count, and a write that makes no progress ends the copy above.
  }
  return static_cast<std::uint32_t>(span);
}

DWORD createPath(const std::wstring& path) {
  std::wstring normalized = path;
  for (auto& c : normalized) {
    if (c == L'/') c = L'\\';
  }
  DWORD result = 0;
  auto ensure = [&result](const std::wstring& prefix) {
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW(prefix.c_str(), &data));
    if (find) {
      result = 0;
      return;
    }
    result = CreateDirectoryW(prefix.c_str(), nullptr) ? 0 : GetLastError();
  };
  for (size_t pos = normalized.find(L'\\'); pos != std::wstring::npos; pos = normalized.find(L'\\', pos + 1)) {
    // Skip the empty prefix of a rooted path and drive roots such as "C:", which cannot be
    // created and are never found by a search.
    if (pos == 0 || (pos == 2 && normalized[1] == L':')) continue;
    if (normalized[pos - 1] == L'\\') continue;
    ensure(normalized.substr(0, pos));
  }
  if (!normalized.empty() && normalized.back() != L'\\') ensure(normalized);
  return result;
}

std::wstring programFilesFrom(const std::wstring& value) {
  const std::wstring marker = L" (x86)";
  if (value.find(marker) != std::wstring::npos) return value.substr(0, value.size() - marker.size());
  return value;
}

std::wstring readProgramFilesDir() {
  wchar_t buffer[1024];
  const DWORD length = GetEnvironmentVariableW(L"ProgramFiles", buffer, 1024);
  if (length < 1 || length > 1023) return {};
  return programFilesFrom(std::wstring(buffer, length));
}
