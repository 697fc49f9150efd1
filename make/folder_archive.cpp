#include "folder_archive.h"

#include <windows.h>

#include <stdexcept>
#include <utility>

#include "handles.h"
#include "packed_source.h"
#include "text.h"

namespace {

// The end-of-central-directory record of a ZIP archive without entries.
void writeEmptyArchive(const std::wstring& path) {
  static const char kEmptyZip[22] = {'P', 'K', 5, 6};
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file) WriteFile(file.get(), kEmptyZip, sizeof(kEmptyZip), &written, nullptr);
}

}  // namespace

FolderArchive::FolderArchive(const std::wstring& path, const std::string& shownPath, std::wstring spoolFolder)
    : path_(path), shownPath_(shownPath), spoolFolder_(std::move(spoolFolder)), archive_(nullptr, zip_discard) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* target = zip_source_win32w_create(path.c_str(), 0, -1, &error);
  zip_t* archive = target ? zip_open_from_source(target, ZIP_CREATE, &error) : nullptr;
  zip_error_fini(&error);
  if (!archive) {
    if (target) zip_source_free(target);
    throw std::runtime_error("Can't create zip: " + shownPath_);
  }
  archive_.reset(archive);
}

void FolderArchive::write(const std::wstring& folder, const std::wstring& shown, unsigned workers) {
  PackedFiles packed(spoolFolder_, workers);
  walkFolder(folder, shown, [&packed](WalkedFile&& file) { packed.add(std::move(file)); });
  packed.finish();
  write(packed);
}

void FolderArchive::write(const PackedFiles& packed) {
  if (packed.size() == 0) {
    // libzip writes no file for an archive without entries; the setup gets an empty archive.
    archive_.reset();
    writeEmptyArchive(path_);
    return;
  }
  PackedSources sources(packed);
  zip_t* archive = archive_.get();
  try {
    for (std::size_t i = 0; i < packed.size(); ++i) {
      const WalkedFile& file = packed.file(i);
      zip_source_t* source = sources.source(archive, i);
      const zip_int64_t index = source ? zip_file_add(archive, file.entry.c_str(), source, ZIP_FL_ENC_UTF_8) : -1;
      if (index < 0 && source) zip_source_free(source);
      // Without the method set, the library would deflate a stored entry's data itself.
      if (index < 0 ||
          (packed[i].stored && zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0))) {
        throw std::runtime_error("Can't add file to zip: " + toNarrow(file.shown));
      }
    }
    if (zip_close(archive) != 0) {
      if (const WalkedFile* failed = sources.failed()) {
        throw std::runtime_error("Can't add file to zip: " + toNarrow(failed->shown));
      }
      throw std::runtime_error("Can't create zip: " + shownPath_);
    }
    (void)archive_.release();
  } catch (...) {
    // The sources read from the spools and the walked files: they go before those are closed.
    archive_.reset();
    throw;
  }
}
