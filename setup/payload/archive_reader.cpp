#include "payload/archive_reader.h"

#include <algorithm>
#include <memory>

#include "handles.h"
#include "paths.h"
#include "payload/local_header.h"

namespace {

struct FileSource {
  UniqueFile file;
  const ArchiveFeed* feed = nullptr;
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  std::uint64_t offset = 0;  // from start
  zip_error_t error;
};

zip_int64_t fileSource(void* state, void* data, zip_uint64_t size, zip_source_cmd_t command) {
  auto* source = static_cast<FileSource*>(state);
  switch (command) {
    case ZIP_SOURCE_OPEN:
      source->offset = 0;
      return 0;
    case ZIP_SOURCE_READ: {
      const std::uint64_t left = source->length - source->offset;
      const DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>({size, left, 1u << 30}));
      OVERLAPPED at{};
      const std::uint64_t position = source->start + source->offset;
      at.Offset = static_cast<DWORD>(position);
      at.OffsetHigh = static_cast<DWORD>(position >> 32);
      DWORD read = 0;
      if (wanted > 0 && source->feed) source->feed->waitFor(position, wanted);
      if (wanted > 0 && !ReadFile(source->file.get(), data, wanted, &read, &at) && GetLastError() != ERROR_HANDLE_EOF) {
        zip_error_set(&source->error, ZIP_ER_READ, static_cast<int>(GetLastError()));
        return -1;
      }
      source->offset += read;
      return read;
    }
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_STAT: {
      auto* stat = static_cast<zip_stat_t*>(data);
      zip_stat_init(stat);
      stat->size = source->length;
      stat->comp_size = source->length;
      stat->comp_method = ZIP_CM_STORE;
      stat->encryption_method = ZIP_EM_NONE;
      stat->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
      return sizeof(*stat);
    }
    case ZIP_SOURCE_SEEK: {
      const zip_int64_t to = zip_source_seek_compute_offset(source->offset, source->length, data, size, &source->error);
      if (to < 0) return -1;
      source->offset = static_cast<std::uint64_t>(to);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(source->offset);
    case ZIP_SOURCE_ACCEPT_EMPTY:
      // An empty file is no archive (the library would open it as one with no entries).
      return 0;
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&source->error, data, size);
    case ZIP_SOURCE_FREE:
      zip_error_fini(&source->error);
      delete source;
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                            ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                                            ZIP_SOURCE_ACCEPT_EMPTY, ZIP_SOURCE_SUPPORTS, -1);
    default:
      zip_error_set(&source->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

}  // namespace

namespace {

zip_source_t* fileSourceOver(UniqueFile file, const ArchiveFeed* feed, std::uint64_t start, std::int64_t length,
                             zip_error_t* error) {
  auto source = std::make_unique<FileSource>();
  source->file = std::move(file);
  source->feed = feed;
  LARGE_INTEGER size{};
  if (!source->file || !GetFileSizeEx(source->file.get(), &size)) {
    zip_error_set(error, ZIP_ER_OPEN, static_cast<int>(GetLastError()));
    return nullptr;
  }
  const auto fileSize = static_cast<std::uint64_t>(size.QuadPart);
  source->start = std::min(start, fileSize);
  source->length = length < 0 ? fileSize - source->start
                              : std::min(static_cast<std::uint64_t>(length), fileSize - source->start);
  zip_error_init(&source->error);
  zip_source_t* made = zip_source_function_create(fileSource, source.get(), error);
  if (made) source.release();  // the library owns it now, and frees it through the callback
  return made;
}

}  // namespace

zip_source_t* readOnlyFileSource(const std::wstring& path, std::uint64_t start, std::int64_t length,
                                 zip_error_t* error) {
  return fileSourceOver(UniqueFile(CreateFileW(extendedPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)),
                        nullptr, start, length, error);
}

ArchiveReader::ArchiveReader(const std::wstring& path, const ArchiveFeed* feed) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = feed ? fileSourceOver(feed->readingHandle(), feed, 0, -1, &error)
                              : readOnlyFileSource(path, 0, -1, &error);
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
