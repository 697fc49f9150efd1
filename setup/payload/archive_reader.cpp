#include "payload/archive_reader.h"

#include "paths.h"
#include "payload/local_header.h"

ArchiveReader::ArchiveReader(const std::wstring& path) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_win32w_create(extendedPath(path).c_str(), 0, -1, &error);
  archive_ = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
  if (!archive_ && source) zip_source_free(source);
  errorCode_ = zip_error_code_zip(&error);
  zip_error_fini(&error);
}

ArchiveReader::~ArchiveReader() {
  // A read-only archive has nothing to write: discarding it is all that closing does (zip_close
  // would do the same, but would link the whole writing machinery into the setup program).
  if (archive_) zip_discard(archive_);
}

std::uint64_t ArchiveReader::entryCount() {
  Lock lock(lock_);
  const zip_int64_t count = zip_get_num_entries(archive_, 0);
  return count > 0 ? static_cast<std::uint64_t>(count) : 0;
}

bool ArchiveReader::describe(std::uint64_t index, EntryInfo& info) {
  Lock lock(lock_);
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive_, index, 0, &stat) != 0) return false;
  info.name = stat.name ? stat.name : "";
  info.sizeKnown = (stat.valid & ZIP_STAT_SIZE) != 0;
  info.size = stat.size;
  info.storedSize = (stat.valid & ZIP_STAT_COMP_SIZE) ? stat.comp_size : 0;
  info.storesNothing = (stat.valid & ZIP_STAT_COMP_SIZE) && stat.comp_size == 0;
  info.crcKnown = (stat.valid & ZIP_STAT_CRC) != 0;
  info.crc = stat.crc;
  info.method = (stat.valid & ZIP_STAT_COMP_METHOD) ? stat.comp_method : ZIP_CM_STORE;
  info.encrypted = (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE;
  return true;
}

ArchiveReader::StoredData ArchiveReader::open(std::uint64_t index, const EntryInfo& info) {
  Lock lock(lock_);
  // Data behind anything but a local header is damaged, even where the entry stores nothing.
  if (!localHeaderIsSound(archive_, index)) return StoredData(*this, nullptr);
  if (info.storesNothing) return StoredData(*this, nullptr, true);
  return StoredData(*this, zip_fopen_index(archive_, index, ZIP_FL_COMPRESSED));
}

ArchiveReader::StoredData::~StoredData() {
  if (!file_) return;
  Lock lock(reader_.lock_);
  zip_fclose(file_);
}

std::int64_t ArchiveReader::StoredData::read(void* data, std::uint64_t size) {
  if (!file_) return 0;
  Lock lock(reader_.lock_);
  return zip_fread(file_, data, size);
}
