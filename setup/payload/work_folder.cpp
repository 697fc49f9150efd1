#include "payload/work_folder.h"

#include <windows.h>

#include <string_view>
#include <vector>

#include "handles.h"
#include "paths.h"
#include "text.h"

namespace {

constexpr int kNameAttempts = 100;
// Up to about two seconds in all when something keeps a file in use.
constexpr int kRemovePasses = 9;
constexpr DWORD kRetryPauseMilliseconds = 50;

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

// The access list of a working folder: full access for this process's user, SYSTEM and the
// Administrators group, inherited by everything inside, protected from the parent's entries.
class PrivateAccess {
 public:
  PrivateAccess() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return;
    const UniqueHandle token(raw);
    DWORD size = 0;
    DWORD systemSize = sizeof(system_), adminsSize = sizeof(admins_);
    if (!GetTokenInformation(token.get(), TokenUser, user_, sizeof(user_), &size) ||
        !CreateWellKnownSid(WinLocalSystemSid, nullptr, system_, &systemSize) ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins_, &adminsSize) ||
        !InitializeAcl(reinterpret_cast<ACL*>(acl_), sizeof(acl_), ACL_REVISION)) {
      return;
    }
    constexpr DWORD kInherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    for (void* sid : {reinterpret_cast<TOKEN_USER*>(user_)->User.Sid, static_cast<void*>(system_),
                      static_cast<void*>(admins_)}) {
      if (!AddAccessAllowedAceEx(reinterpret_cast<ACL*>(acl_), ACL_REVISION, kInherited, FILE_ALL_ACCESS, sid)) return;
    }
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, reinterpret_cast<ACL*>(acl_), FALSE) ||
        !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      return;
    }
    attributes_ = {sizeof(attributes_), &descriptor_, FALSE};
  }
  PrivateAccess(const PrivateAccess&) = delete;
  PrivateAccess& operator=(const PrivateAccess&) = delete;

  // Null when the list could not be made: no folder is made then.
  SECURITY_ATTRIBUTES* attributes() { return attributes_.nLength ? &attributes_ : nullptr; }

 private:
  alignas(8) BYTE user_[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  alignas(8) BYTE system_[SECURITY_MAX_SID_SIZE];
  alignas(8) BYTE admins_[SECURITY_MAX_SID_SIZE];
  alignas(8) BYTE acl_[512];
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

// A folder opened for its identity, shared for reading and writing, never for deletion: while
// it is open, no one renames or deletes it. Links are opened themselves.
HANDLE openFolder(const std::wstring& path, DWORD access) {
  const HANDLE handle = CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

constexpr char kMarkPrefix[] = "Pondrel working folder ";

// The mark's text for the open folder `folder`: the prefix, its volume's serial number and its
// file index, in hexadecimal. False for a link or anything but a folder.
bool identityMark(HANDLE folder, std::string& mark) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(folder, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  mark = kMarkPrefix;
  for (DWORD value : {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow}) {
    for (int shift = 28; shift >= 0; shift -= 4) mark += "0123456789abcdef"[(value >> shift) & 0xF];
  }
  return true;
}

// One leftover: `folder` with its mark at `markPath`, each checked as removeLeftoverWorkFolders
// says.
void removeLeftover(const std::wstring& folder, const std::wstring& markPath) {
  // Opening the mark for deletion fails while a run holds it.
  UniqueFile mark(CreateFileW(markPath.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!mark) return;
  char text[64] = {};
  DWORD read = 0;
  if (!ReadFile(mark.get(), text, sizeof(text) - 1, &read, nullptr) ||
      std::string_view(text, read).substr(0, sizeof(kMarkPrefix) - 1) != kMarkPrefix) {
    return;
  }
  std::string expected;
  {
    // Opening the folder for deletion fails while a run holds it, too.
    const UniqueHandle held(openFolder(folder, DELETE));
    if (held) {
      if (!identityMark(held.get(), expected) || expected != std::string_view(text, read)) return;
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      return;
    }
  }
  // A mark whose folder has gone already goes as well.
  if (!expected.empty() && !removeFolderTree(folder)) return;
  mark.reset();
  DeleteFileW(markPath.c_str());
}

}  // namespace

std::wstring userTempFolder() {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  const DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
  if (length == 0 || length >= buffer.size()) return {};
  return std::wstring(buffer.data(), length);
}

WorkFolder::WorkFolder(const std::wstring& parent, const std::function<void(const std::wstring&)>& nameTaken) {
  const std::wstring folder = parent.empty() ? userTempFolder() : parent;
  PrivateAccess access;
  if (!access.attributes()) return;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    wchar_t name[MAX_PATH + 1] = {};
    if (GetTempFileNameW(folder.c_str(), L"kelminst", 0, name) == 0) return;
    // The unique name came with a placeholder file; the folder takes its name.
    DeleteFileW(name);
    if (nameTaken) nameTaken(name);
    if (!CreateDirectoryW(name, access.attributes())) {
      if (GetLastError() != ERROR_ALREADY_EXISTS) return;
      // Something was planted under the name between the delete and the create: take another.
      continue;
    }
    // Held from here on; then marked, the mark held as it is made, so that no other run ever
    // sees it unheld while this one goes on.
    folder_.reset(openFolder(name, 0));
    std::string mark;
    if (folder_ && identityMark(folder_.get(), mark)) {
      mark_.reset(CreateFileW((std::wstring(name) + kWorkFolderMarkSuffix).c_str(), GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ, access.attributes(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
      DWORD written = 0;
      if (mark_ && WriteFile(mark_.get(), mark.data(), static_cast<DWORD>(mark.size()), &written, nullptr) &&
          written == mark.size()) {
        path_ = name;
        return;
      }
    }
    // A folder that cannot be held and marked would be left to anyone: it goes again.
    const DWORD error = GetLastError();
    mark_.reset();
    folder_.reset();
    RemoveDirectoryW(name);
    // A mark that an earlier run left under this name (its folder gone, the mark not yet): take
    // another name.
    if (error != ERROR_FILE_EXISTS) return;
  }
}

bool WorkFolder::remove() noexcept {
  if (path_.empty()) return true;
  // Held folders cannot be removed, not even by this process.
  folder_.reset();
  const bool removed = removeFolderTree(path_);
  // The mark goes with the folder; one beside a folder that stays lets a later run remove what
  // this one could not.
  const bool marked = static_cast<bool>(mark_);
  mark_.reset();
  if (removed && marked) DeleteFileW((path_ + kWorkFolderMarkSuffix).c_str());
  path_.clear();
  return removed;
}

void removeLeftoverWorkFolders(const std::wstring& parent, const std::atomic<bool>& stop) noexcept {
  try {
    const std::wstring folder = parent.empty() ? userTempFolder() : parent;
    if (folder.empty()) return;
    const std::wstring base = folder.back() == L'\\' ? folder : folder + L"\\";
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW((base + L"kel*.tmp" + kWorkFolderMarkSuffix).c_str(), &data));
    if (!find) return;
    do {
      if (stop) return;
      if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
      const std::wstring markPath = base + data.cFileName;
      const std::wstring suffix = kWorkFolderMarkSuffix;
      if (markPath.size() <= suffix.size() ||
          !equalsIgnoringCase(std::wstring_view(markPath).substr(markPath.size() - suffix.size()), suffix)) {
        continue;
      }
      removeLeftover(markPath.substr(0, markPath.size() - suffix.size()), markPath);
    } while (FindNextFileW(find.get(), &data));
  } catch (...) {
    // Out of memory while forming names: the rest stays for a later run.
  }
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
