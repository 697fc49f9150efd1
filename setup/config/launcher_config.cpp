#include "config/launcher_config.h"

#include <windows.h>

#include "config/config_file.h"
#include "installer.h"

namespace {

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

}  // namespace

bool mergeLauncherConfigFile(const std::wstring& distributionFile) {
  ConfigList distribution;
  if (tryReadConfigFile(distributionFile, distribution) != ConfigRead::read) return false;

  const std::wstring userFile = userConfigPath();
  if (userFile.empty()) return false;
  ConfigList user;
  // A file that is there but cannot be read is the user's data all the same: never replace it
  // by the distribution's entries alone.
  if (tryReadConfigFile(userFile, user) == ConfigRead::unreadable) return false;

  for (const ConfigEntry& entry : distribution) setConfigValues(user, entry.key, entry.values);

  try {
    writeConfigFile(userFile, user);
    return true;
  } catch (int) {
    // Most often the first run for this user: the folders are not there yet.
  }
  createUserConfigFolders();
  try {
    writeConfigFile(userConfigPath(), user);
    return true;
  } catch (int) {
    return false;
  }
}

bool Installer::mergeLauncherConfig(const std::wstring& distributionFile) {
  return mergeLauncherConfigFile(distributionFile);
}
