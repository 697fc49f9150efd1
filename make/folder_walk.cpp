#include "folder_walk.h"

#include <stdexcept>
#include <vector>

#include "console.h"
#include "file_system.h"
#include "handles.h"
#include "paths.h"
#include "text.h"

namespace {

// A listing failure, worded as the other file-system errors are: the operation, the system's
// reason and the path.
[[noreturn]] void raiseListingError(const char* operation, const std::wstring& shown, unsigned long error) {
  throw std::runtime_error(std::string("filesystem error: ") + operation + ": " + toNarrow(systemReason(error)) +
                           " [" + toNarrow(shown) + "]");
}

class FolderWalk {
 public:
  FolderWalk(WalkedFolders& folders, const std::function<void(WalkedFile&&)>& onFile)
      : folders_(folders), onFile_(onFile) {}

  void addFolder(const std::wstring& folder, const std::wstring& shown, const std::string& prefix) {
    FolderId id;
    bool isFolder = false;
    FileTime written = 0;
    const bool known = lookThrough(folder, id, isFolder, written);
    if (known) {
      for (const FolderId& open : ancestors_) {
        if (open == id) throw std::runtime_error("Link cycle in the input folder: " + toNarrow(shown));
      }
      ancestors_.push_back(id);
    }
    FolderListing listing;
    bool empty = false;
    if (!listing.open(folder, empty)) {
      if (!empty) raiseListingError("directory_iterator::directory_iterator", shown, lastSystemError());
    } else {
      folders_.push_back(WalkedFolder{joinPath(folder, L""), shown, prefix.empty() ? prefix : prefix + "\\"});
      addListed(listing, folders_.back());
    }
    if (known) ancestors_.pop_back();
  }

 private:
  void addListed(FolderListing& listing, const WalkedFolder& folder) {
    ListedEntry entry;
    while (listing.next(entry)) {
      if (entry.name.empty()) {
        throw std::runtime_error("File name is not UTF-8: " + toNarrow(joinPath(folder.shown, L"")) +
                                 entry.unreadableName);
      }
      // The listing tells what a plain entry is; a link is asked what it leads to. A file's path
      // is not made here: the packer makes it when it opens the file.
      if (entry.link) {
        FolderId id;
        bool leadsToFolder = false;
        FileTime written = 0;
        // One that leads nowhere counts as a file, and fails as one when it is packed.
        if (lookThrough(joinPath(folder.path, entry.name), id, leadsToFolder, written)) {
          entry.folder = leadsToFolder;
          entry.written = written;
        } else {
          entry.folder = false;
        }
      }
      if (entry.folder) {
        addFolder(joinPath(folder.path, entry.name), joinPath(folder.shown, entry.name),
                  folder.entryPrefix + toUtf8(entry.name));
      } else {
        onFile_(WalkedFile{&folder, std::move(entry.name), entry.size, entry.written});
      }
    }
    if (lastSystemError() != 0) raiseListingError("directory_iterator::operator++", folder.shown, lastSystemError());
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
