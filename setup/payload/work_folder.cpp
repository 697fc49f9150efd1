#include "payload/work_folder.h"

#include <windows.h>

#include <vector>

#include "handles.h"
#include "paths.h"

namespace {

constexpr int kNameAttempts = 100;
// Up to about two seconds in all when something keeps a file in use.
constexpr int kRemovePasses = 9;
constexpr DWORD kRetryPauseMilliseconds = 50;

std::wstring userTempFolder() {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  const DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
  if (length == 0 || length >= buffer.size()) return {};
  return std::wstring(buffer.data(), length);
}

void removeContents(const std::wstring& folder) noexcept;

// Removes one entry found in a listing. Reparse points are links: removing the link must never
// touch what it points at.
void removeEntry(const std::wstring& path, const WIN32_FIND_DATAW& data) noexcept {
  const DWORD attributes = data.dwFileAttributes;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) removeContents(path);
    RemoveDirectoryW(path.c_str());
  } else {
    DeleteFileW(path.c_str());
  }
}

void removeContents(const std::wstring& folder) noexcept {
  try {
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return;
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      removeEntry(folder + L"\\" + name, data);
    } while (FindNextFileW(find.get(), &data));
  } catch (...) {
    // Out of memory while forming names: leave the rest for the next pass.
  }
}

}  // namespace

std::wstring createWorkFolder(const std::wstring& parent,
                             const std::function<void(const std::wstring&)>& nameTaken) {
  const std::wstring folder = parent.empty() ? userTempFolder() : parent;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    wchar_t name[MAX_PATH + 1] = {};
    if (GetTempFileNameW(folder.c_str(), L"kelminst", 0, name) == 0) return {};
    // The unique name came with a placeholder file; the folder takes its name.
    DeleteFileW(name);
    if (nameTaken) nameTaken(name);
    if (CreateDirectoryW(name, nullptr)) return name;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return {};
    // Something was planted under the name between the delete and the create: take another.
  }
  return {};
}

bool removeFolderTree(const std::wstring& folder) noexcept {
  if (folder.empty()) return true;
  std::wstring path;
  try {
    // Entries deep below the folder have paths of any length.
    path = extendedPath(folder);
  } catch (...) {
    path = folder;
  }
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  for (int pass = 0; pass < kRemovePasses; ++pass) {
    if (RemoveDirectoryW(path.c_str())) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) break;
    // A program that has just ended may keep its file locked for a moment, and a scanner may
    // be reading a fresh file: give them a little time before trying again.
    if (pass > 0) Sleep(kRetryPauseMilliseconds * pass);
    removeContents(path);
  }
  return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}
