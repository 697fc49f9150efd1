#include "installation/held_files.h"

#include "paths.h"
#include "text.h"

namespace {

// Read access, shared for reading only (folders also for writing: files in them are made and
// removed as usual); never for deletion, which renaming needs as well.
HANDLE openHeld(const std::wstring& path, bool folder) {
  const HANDLE handle = CreateFileW(
      path.c_str(), folder ? FILE_READ_ATTRIBUTES : GENERIC_READ,
      folder ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      folder ? FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT : FILE_ATTRIBUTE_NORMAL, nullptr);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

}  // namespace

HANDLE HeldFiles::hold(const std::wstring& path) {
  Lock lock(lock_);
  std::wstring full = fullPath(path);
  const HANDLE file = openHeld(extendedPath(full), false);
  if (!file) return nullptr;
  handles_.emplace_back(file);
  // The folders from the file's own outwards, up to the root.
  for (size_t end = full.find_last_of(L'\\'); end != std::wstring::npos && end > 0; end = full.find_last_of(L'\\', end - 1)) {
    const std::wstring folder = full.substr(0, end);
    if (folder.size() < root_.size()) break;
    bool held = false;
    for (const std::wstring& known : folders_) held = held || equalsIgnoringCase(known, folder);
    if (!held) {
      if (const HANDLE handle = openHeld(extendedPath(folder), true)) {
        handles_.emplace_back(handle);
        folders_.push_back(folder);
      }
    }
    if (root_.empty() || equalsIgnoringCase(folder, root_)) break;
  }
  return file;
}

void HeldFiles::release() noexcept {
  Lock lock(lock_);
  handles_.clear();
  folders_.clear();
}
