#include "config/launcher_config.h"

#include <windows.h>

#include "config/config_file.h"
#include "handles.h"
#include "paths.h"
#include "text.h"

namespace {

constexpr DWORD kLockWaitMilliseconds = 60000;

std::wstring parentOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The folders of the user's file, outer first, made one level each. A folder that is already
// there, or one that cannot be made, is left to the write that follows to find out.
void createUserConfigFolders() {
  const std::wstring tarnel = parentOf(userConfigPath());
  if (tarnel.empty()) return;
  CreateDirectoryW(parentOf(tarnel).c_str(), nullptr);
  CreateDirectoryW(tarnel.c_str(), nullptr);
}

// The user's file held for one merge: a mutex named after the file (its path in upper case,
// hashed), which every setup program of the session takes before it reads the file and lets go
// of after writing it. A holder that ended without letting go leaves the file whole (it is
// replaced in one step, or rewritten with its old content kept until the new one is in), so
// such a mutex is taken over.
class UserFileLock {
 public:
  explicit UserFileLock(const std::wstring& path) {
    const std::uint64_t hash = pathHash(path);
    std::wstring name = L"Local\\PondrelLauncherFile-";
    for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789abcdef"[(hash >> shift) & 0xF];
    mutex_.reset(CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!mutex_) return;
    const DWORD result = WaitForSingleObject(mutex_.get(), kLockWaitMilliseconds);
    held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
  }
  ~UserFileLock() {
    if (held_) ReleaseMutex(mutex_.get());
  }
  UserFileLock(const UserFileLock&) = delete;
  UserFileLock& operator=(const UserFileLock&) = delete;

  [[nodiscard]] bool held() const { return held_; }

 private:
  UniqueHandle mutex_;
  bool held_ = false;
};

LauncherMerge fail(const char* what, const std::wstring& path) {
  return {LauncherMerge::Outcome::failed, what + toNarrow(path)};
}

LauncherMerge failRead(ConfigRead result, const std::wstring& path) {
  return fail(result == ConfigRead::tooLarge ? "file too large: " : "can't read launcher file: ", path);
}

}  // namespace

LauncherMerge mergeLauncherConfigFile(const std::wstring& distributionFile, const std::atomic<bool>* cancel) {
  ConfigList distribution;
  if (const ConfigRead read = tryReadConfigFile(distributionFile, distribution); read != ConfigRead::read) {
    return failRead(read, distributionFile);
  }

  const std::wstring userFile = userConfigPath();
  if (userFile.empty()) return fail("can't write launcher file: ", L"%APPDATA%\\Kelm\\Tarnel\\Tarnel.cfg");
  const UserFileLock lock(userFile);
  if (!lock.held()) return fail("can't write launcher file: ", userFile);
  ConfigList user;
  // A file that is there but cannot be read is the user's data all the same: never replace it
  // by the distribution's entries alone.
  if (const ConfigRead read = tryReadConfigFile(userFile, user); read != ConfigRead::read && read != ConfigRead::missing) {
    return failRead(read, userFile);
  }

  setAllConfigValues(user, distribution);
  if (cancel && *cancel) return {LauncherMerge::Outcome::cancelled, {}};

  int code = 0;
  try {
    writeConfigFile(userFile, user);
    return {LauncherMerge::Outcome::merged, {}};
  } catch (int raised) {
    // Most often the first run for this user: the folders are not there yet.
    code = raised;
  }
  if (code != kConfigTooLarge) {
    createUserConfigFolders();
    try {
      writeConfigFile(userConfigPath(), user);
      return {LauncherMerge::Outcome::merged, {}};
    } catch (int raised) {
      code = raised;
    }
  }
  return fail(code == kConfigTooLarge ? "file too large: " : "can't write launcher file: ", userFile);
}
