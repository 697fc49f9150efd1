#include "folder_walk.h"

#include <stdexcept>
#include <vector>

#include "console.h"
#include "handles.h"
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

class FolderWalk {
 public:
  FolderWalk(WalkedFolders& folders, const std::function<void(WalkedFile&&)>& onFile)
      : folders_(folders), onFile_(onFile) {}

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
      folders_.push_back(WalkedFolder{folder, shown, prefix.empty() ? prefix : prefix + "\\"});
      addListed(listing, found, folders_.back());
    }
    if (known) ancestors_.pop_back();
  }

 private:
  void addListed(const UniqueFind& listing, WIN32_FIND_DATAW& found, const WalkedFolder& folder) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = joinPath(folder.path, name);
      if (isFolder(path, found.dwFileAttributes)) {
        addFolder(path, joinPath(folder.shown, name), folder.entryPrefix + toUtf8(name));
      } else {
        const std::uint64_t size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        onFile_(WalkedFile{&folder, std::move(name), size, found.ftLastWriteTime,
                           (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
      }
    } while (FindNextFileW(listing.get(), &found));
    if (GetLastError() != ERROR_NO_MORE_FILES) {
      raiseListingError("directory_iterator::operator++", folder.shown, GetLastError());
    }
  }

  // The listing tells what a plain entry is; a link is asked what it leads to.
  static bool isFolder(const std::wstring& path, DWORD listedAttributes) {
    if (!(listedAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return listedAttributes & FILE_ATTRIBUTE_DIRECTORY;
    BY_HANDLE_FILE_INFORMATION info;
    return lookThrough(path, info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  WalkedFolders& folders_;
  const std::function<void(WalkedFile&&)>& onFile_;
  std::vector<FolderId> ancestors_;
};

}  // namespace

void walkFolder(const std::wstring& folder, const std::wstring& shown, WalkedFolders& folders,
                const std::function<void(WalkedFile&&)>& onFile) {
  FolderWalk(folders, onFile).addFolder(folder, shown, "");
}
