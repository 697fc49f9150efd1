#include <windows.h>
#include <zip.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

#include "console.h"
#include "handles.h"
#include "paths.h"
#include "sfx_builder.h"
#include "text.h"

namespace fs = std::filesystem;

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

class FolderZipper {
 public:
  explicit FolderZipper(zip_t* archive) : archive_(archive) {}

  // Adds every file below `folder` (an extended-length path, so that trees of any depth are
  // reached) depth first in listing order, under `prefix` (UTF-8 entry names joined with "\").
  // `shown` is the folder as messages name it: the path the user gave, joined on. Links are
  // followed; one that leads back into the walk ends it with an error rather than running
  // forever. A file that cannot be opened for reading ends it too.
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

  // The file is opened now, with the sharing the archive library itself uses, and the library
  // reads it through that handle when the archive is written: a file that is held without
  // sharing, denied, or no disk file at all is reported here, with its name, and not only when
  // the archive is closed.
  void addFile(const std::wstring& path, const std::wstring& shown, const std::string& entry) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    zip_source_t* source = file && GetFileType(file.get()) == FILE_TYPE_DISK
                               ? zip_source_win32handle(archive_, file.get(), 0, -1)
                               : nullptr;
    if (source) (void)file.release();  // the source closes the handle when it is freed
    if (!source || zip_file_add(archive_, entry.c_str(), source, ZIP_FL_ENC_UTF_8) < 0) {
      if (source) zip_source_free(source);
      throw std::runtime_error("Can't add file to zip: " + toNarrow(shown));
    }
  }

  zip_t* archive_;
  std::vector<FolderId> ancestors_;
};

// The end-of-central-directory record of a ZIP archive without entries.
void writeEmptyArchive(const fs::path& path) {
  static const char kEmptyZip[22] = {'P', 'K', 5, 6};
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file) WriteFile(file.get(), kEmptyZip, sizeof(kEmptyZip), &written, nullptr);
}

}  // namespace

bool SfxBuilder::buildFromFolder(const std::string& folder) {
  temporaryArchive_ = toNarrow((fs::path(tempFolder_) / L"tmpzipfile.zip").wstring());
  const fs::path temporary(toWide(temporaryArchive_));
  fs::remove(temporary);

  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* target = zip_source_win32w_create(temporary.c_str(), 0, -1, &error);
  zip_t* archive = target ? zip_open_from_source(target, ZIP_CREATE, &error) : nullptr;
  zip_error_fini(&error);
  if (!archive) {
    if (target) zip_source_free(target);
    throw std::runtime_error("Can't create zip: " + temporaryArchive_);
  }
  // Abandoned unless it is closed below: nothing is written for a failed walk.
  std::unique_ptr<zip_t, decltype(&zip_discard)> owner(archive, zip_discard);

  const fs::path input(toWide(folder));
  if (!fs::is_directory(input)) {
    throw std::runtime_error("Directory doesn't exist or isn't a directory: " + folder);
  }
  printProgress(kArchiving);
  FolderZipper(archive).addFolder(extendedPath(input.wstring()), input.wstring(), "");

  if (zip_get_num_entries(archive, 0) == 0) {
    // libzip writes no file for an archive without entries; the setup gets an empty archive.
    owner.reset();
    writeEmptyArchive(temporary);
  } else if (zip_close(archive) == 0) {
    owner.release();
  } else {
    // Every file was opened while walking, so what fails here is the writing of the archive.
    throw std::runtime_error("Can't create zip: " + temporaryArchive_);
  }
  return buildFromArchive(temporaryArchive_);
}
