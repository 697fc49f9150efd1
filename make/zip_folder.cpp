#include <windows.h>
#include <zip.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

#include "console.h"
#include "handles.h"
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

bool folderId(const fs::path& folder, FolderId& id) {
  UniqueFile handle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!handle || !GetFileInformationByHandle(handle.get(), &info)) return false;
  id = FolderId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}

class FolderZipper {
 public:
  explicit FolderZipper(zip_t* archive) : archive_(archive) {}

  // Adds every file below `folder`, depth first in listing order, under `prefix` (UTF-8 entry
  // names joined with "\"). Links are followed; one that leads back into the walk ends it with
  // an error rather than running forever.
  void addFolder(const fs::path& folder, const std::string& prefix) {
    FolderId id{};
    const bool known = folderId(folder, id);
    if (known) {
      for (const FolderId& open : ancestors_) {
        if (open == id) throw std::runtime_error("Link cycle in the input folder: " + toNarrow(folder.wstring()));
      }
      ancestors_.push_back(id);
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      const std::string name = prefix.empty() ? toUtf8(entry.path().filename().wstring())
                                              : prefix + "\\" + toUtf8(entry.path().filename().wstring());
      if (fs::is_directory(entry.status())) {
        addFolder(entry.path(), name);
      } else {
        addFile(entry.path(), name);
      }
    }
    if (known) ancestors_.pop_back();
  }

 private:
  void addFile(const fs::path& file, const std::string& name) {
    zip_source_t* source = zip_source_win32w(archive_, file.c_str(), 0, -1);
    if (!source || zip_file_add(archive_, name.c_str(), source, ZIP_FL_ENC_UTF_8) < 0) {
      if (source) zip_source_free(source);
      throw std::runtime_error("Can't add file to zip: " + toNarrow(file.wstring()));
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
  FolderZipper(archive).addFolder(input, "");

  if (zip_get_num_entries(archive, 0) == 0) {
    // libzip writes no file for an archive without entries; the setup gets an empty archive.
    owner.reset();
    writeEmptyArchive(temporary);
  } else if (zip_close(archive) == 0) {
    // A failed close leaves no archive behind; the assembly then reports that it cannot read it.
    owner.release();
  }
  return buildFromArchive(temporaryArchive_);
}
