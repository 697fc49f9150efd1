// The installation driver: unpack, then run the named setup file (setup-file mode) or install
// the distribution (distribution mode).
#include "installation/setup_file.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "handles.h"
#include "installer.h"
#include "long_path.h"
#include "text.h"

namespace {

[[noreturn]] void raiseFileSystemError(const char* operation, const std::wstring& path) {
  const std::error_code error(static_cast<int>(GetLastError()), std::system_category());
  throw std::filesystem::filesystem_error(operation, std::filesystem::path(path), error);
}

// Whether a file-system entry of that name exists, and whether it is a folder. Links are
// followed: a link to a folder counts as a folder, one that leads nowhere as no folder.
bool entryExists(const std::wstring& path, bool* isFolder = nullptr) {
  const std::wstring extended = extendedPath(path);
  DWORD attributes = GetFileAttributesW(extended.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME) return false;
    raiseFileSystemError("status", path);
  }
  if (isFolder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    UniqueFile target(CreateFileW(extended.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    attributes = target && GetFileInformationByHandle(target.get(), &info) ? info.dwFileAttributes : 0;
  }
  if (isFolder) *isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return true;
}

}  // namespace

bool findSetupFile(const std::wstring& name, std::wstring& folder) {
  const std::wstring base = folder;
  if (entryExists(base + L"\\" + name)) return true;
  WIN32_FIND_DATAW data;
  UniqueFind listing(FindFirstFileW((extendedPath(base) + L"\\*").c_str(), &data));
  if (!listing) raiseFileSystemError("directory iterator cannot open directory", base);
  do {
    const std::wstring entry = data.cFileName;
    if (entry == L"." || entry == L"..") continue;
    bool isFolder = false;
    if (!entryExists(base + L"\\" + entry, &isFolder) || !isFolder) continue;
    folder = base + L"\\" + entry;
    if (findSetupFile(name, folder)) return true;
  } while (FindNextFileW(listing.get(), &data));
  if (GetLastError() != ERROR_NO_MORE_FILES) raiseFileSystemError("directory iterator cannot advance", base);
  return false;
}

bool Installer::runInstallation() {
  if (!unpackPayload()) return false;
  // A close request that came in as the unpacking ended: nothing is started any more.
  if (cancelRequested) return false;
  if (noSetupFileName) return runDistribution() != 0;

  // The name is ANSI text, as the builder wrote it; paths stay wide from here on, whatever the
  // user's temporary folder is called.
  const std::wstring name = toWide(setupFileName);
  std::wstring folder = workDir;
  if (!findSetupFile(name, folder)) {
    throw std::runtime_error("setup file: " + setupFileName + " doesn't exist");
  }
  const std::wstring path = folder + L"\\" + name;
  if (signatureGate(path) == Gate::declined) return false;
  if (cancelRequested) return false;
  try {
    runProgram(path, L"");
  } catch (const std::exception& e) {
    throw std::runtime_error(e.what());
  }
  return false;
}

int Installer::runDistribution() {
  // Distribution installs are not supported yet: nothing is installed.
  return 0;
}
