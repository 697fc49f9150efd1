#include "folder_walk.h"

#include <stdexcept>
#include <vector>

#include "console.h"
#include "paths.h"
#include "text.h"

namespace {

// A folder's identity on its volume, to notice a link that leads back to a folder the walk is
// already inside.
struct FolderId {
  DWORD volume;
  DWORD indexHigh;
  DWORD indexLow;
  bool operator==(const FolderId& other) const {
    return volume == other.volume && indexHigh == other.indexHigh && indexLow == other.indexLow;
  }
};

// What a path leads to, links followed; false when it leads nowhere (a dangling link).
bool lookThrough(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
  UniqueFile handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return handle && GetFileInformationByHandle(handle.get(), &info);
}

// A listing failure, worded as the other file-system errors are: the operation, the system's
// reason and the path.
[[noreturn]] void raiseListingError(const char* operation, const std::wstring& shown, DWORD error) {
  throw std::runtime_error(std::string("filesystem error: ") + operation + ": " + toNarrow(systemReason(error)) +
                           " [" + toNarrow(shown) + "]");
}

// Seconds since 1970 of a file time, converted as the archive library converts it.
std::time_t unixSeconds(const FILETIME& time) {
  ULARGE_INTEGER ticks;
  ticks.LowPart = time.dwLowDateTime;
  ticks.HighPart = time.dwHighDateTime;
  return static_cast<std::time_t>(static_cast<long long>(ticks.QuadPart / 10000000ULL) - 11644473600LL);
}

class FolderWalk {
 public:
  explicit FolderWalk(const std::function<void(WalkedFile&&)>& onFile) : onFile_(onFile) {}

  void addFolder(const std::wstring& folder, const std::wstring& shown, const std::string& prefix) {
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = lookThrough(folder, info);
    if (known) {
      const FolderId id{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
      for (const FolderId& open : ancestors_) {
        if (open == id) throw std::runtime_error("Link cycle in the input folder: " + toNarrow(shown));
      }
      ancestors_.push_back(id);
    }
    WIN32_FIND_DATAW found;
    UniqueFind listing(FindFirstFileW(joinPath(folder, L"*").c_str(), &found));
    if (!listing) {
      // A drive root lists no "." entry, so an empty one finds nothing at all.
      if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        raiseListingError("directory_iterator::directory_iterator", shown, GetLastError());
      }
    } else {
      addListed(listing, found, folder, shown, prefix);
    }
    if (known) ancestors_.pop_back();
  }

 private:
  void addListed(const UniqueFind& listing, WIN32_FIND_DATAW& found, const std::wstring& folder,
                 const std::wstring& shown, const std::string& prefix) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = joinPath(folder, name);
      const std::string entry = prefix.empty() ? toUtf8(name) : prefix + "\\" + toUtf8(name);
      if (isFolder(path, found.dwFileAttributes)) {
        addFolder(path, joinPath(shown, name), entry);
      } else {
        addFile(path, joinPath(shown, name), entry);
      }
    } while (FindNextFileW(listing.get(), &found));
    if (GetLastError() != ERROR_NO_MORE_FILES) raiseListingError("directory_iterator::operator++", shown, GetLastError());
  }

  // The listing tells what a plain entry is; a link is asked what it leads to.
  static bool isFolder(const std::wstring& path, DWORD listedAttributes) {
    if (!(listedAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return listedAttributes & FILE_ATTRIBUTE_DIRECTORY;
    BY_HANDLE_FILE_INFORMATION info;
    return lookThrough(path, info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  // A file that is held without sharing, denied, or no disk file at all is reported here, with
  // its name, and not only when the archive is written.
  void addFile(const std::wstring& path, const std::wstring& shown, const std::string& entry) {
    WalkedFile walked;
    walked.file.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    FILETIME written;
    if (!walked.file || GetFileType(walked.file.get()) != FILE_TYPE_DISK || !GetFileSizeEx(walked.file.get(), &size) ||
        !GetFileTime(walked.file.get(), nullptr, nullptr, &written)) {
      throw std::runtime_error("Can't add file to zip: " + toNarrow(shown));
    }
    walked.entry = entry;
    walked.shown = shown;
    walked.size = static_cast<std::uint64_t>(size.QuadPart);
    walked.modified = unixSeconds(written);
    onFile_(std::move(walked));
  }

  const std::function<void(WalkedFile&&)>& onFile_;
  std::vector<FolderId> ancestors_;
};

}  // namespace

void walkFolder(const std::wstring& folder, const std::wstring& shown,
                const std::function<void(WalkedFile&&)>& onFile) {
  FolderWalk(onFile).addFolder(folder, shown, "");
}
