#include "payload/payload.h"

#include <algorithm>
#include <cstring>
#include <cstddef>
#include <memory>
#include <vector>

#include <zip.h>

#include "failure.h"
#include "file_io.h"
#include "handles.h"
#include "resources/resource.h"
#include "payload/archive_reader.h"
#include "text.h"

namespace {

constexpr std::uint64_t kRoomMargin = 16 << 20;
constexpr std::uint64_t kRoomPerEntry = 4096;
constexpr std::uint64_t kMegabyte = 1 << 20;

// What unpacking the archive at `offset` in `file` takes on disk besides the archive copy: each
// entry's size and a cluster of its own, and the margin. Just the margin when the directory
// cannot be read (the unpacker reports that archive).
std::uint64_t unpackedRoom(const std::wstring& file, std::uint64_t offset, std::uint64_t span) {
  std::uint64_t room = kRoomMargin;
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = readOnlyFileSource(file, offset, static_cast<std::int64_t>(span), &error);
  zip_t* archive = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
  if (!archive) {
    if (source) zip_source_free(source);
  } else {
    const zip_int64_t entries = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < entries; ++i) {
      zip_stat_t stat;
      if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &stat) == 0 && (stat.valid & ZIP_STAT_SIZE)) {
        room += stat.size + kRoomPerEntry;
      }
    }
    zip_discard(archive);
  }
  zip_error_fini(&error);
  return room;
}

// Raises NoRoomError when the disk of `targetPath`'s folder (a working folder) has less than
// `needed` bytes free for this user. A disk whose room cannot be told is tried.
void checkRoom(const std::wstring& targetPath, std::uint64_t needed) {
  const std::wstring folder = targetPath.substr(0, targetPath.find_last_of(L'\\'));
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) || available.QuadPart >= needed) return;
  wchar_t format[256] = {};
  LoadStringW(GetModuleHandleW(nullptr), IDS_NO_ROOM, format, 256);
  std::wstring text = format;
  // The folder named is the one the user knows: the temporary folder that holds the working folders.
  const std::wstring values[] = {folder.substr(0, folder.find_last_of(L'\\')),
                                 decimalText(static_cast<long long>((needed + kMegabyte - 1) / kMegabyte)),
                                 decimalText(static_cast<long long>(available.QuadPart / kMegabyte))};
  for (int i = 0; i < 3; ++i) {
    const wchar_t mark[] = {L'%', static_cast<wchar_t>(L'1' + i), 0};
    if (const size_t at = text.find(mark); at != std::wstring::npos) text.replace(at, 2, values[i]);
  }
  throw NoRoomError(text);
}

}  // namespace

DWORD readPayloadResource(WORD id, const void** data, HMODULE module) {
  if (!data) return 0;
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(kPayloadResourceType));
  if (!info) throw Failure("can't find local res");
  HGLOBAL loaded = LoadResource(module, info);
  if (!loaded) throw Failure("can't load local res");
  const void* bytes = LockResource(loaded);
  if (!bytes) throw Failure("can't lock local res");
  *data = bytes;
  return SizeofResource(module, info);
}

PayloadDescriptors readPayloadDescriptors(HMODULE module) {
  PayloadDescriptors payload;
  const void* data = nullptr;
  const DWORD size = readPayloadResource(kPayloadOffsetResourceId, &data, module);
  payload.archiveOffset = parseArchiveOffset(data, size);
  if (!data || size == 0) throw Failure("ZIP-archive not present");
  try {
    const void* name = nullptr;
    const DWORD nameSize = readPayloadResource(kSetupNameResourceId, &name, module);
    if (name && nameSize != 0) {
      // Read up to the zero byte, but never past the resource, whether or not it has one.
      const char* text = static_cast<const char*>(name);
      payload.setupFileName.assign(text, strnlen(text, nameSize));
      payload.hasSetupFileName = true;
    }
  } catch (const std::exception&) {
    // No setup file name: the distribution is searched instead.
  }
  return payload;
}

namespace {

// The file offset of the image's signature table (its security directory), or 0 when the image
// has none or its headers cannot be read.
std::uint64_t signatureTableOffset(HANDLE file) {
  IMAGE_DOS_HEADER dos;
  if (!readExactlyAt(file, 0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0) return 0;
  const std::uint64_t headers = static_cast<std::uint32_t>(dos.e_lfanew);
  DWORD signature = 0;
  IMAGE_FILE_HEADER fileHeader;
  WORD magic = 0;
  const std::uint64_t optional = headers + sizeof(signature) + sizeof(fileHeader);
  if (!readExactlyAt(file, headers, &signature, sizeof(signature)) || signature != IMAGE_NT_SIGNATURE ||
      !readExactlyAt(file, headers + sizeof(signature), &fileHeader, sizeof(fileHeader)) ||
      !readExactlyAt(file, optional, &magic, sizeof(magic))) {
    return 0;
  }
  // The 32-bit and the 64-bit optional headers place the directory table differently.
  size_t countAt = 0, directoriesAt = 0;
  if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
    countAt = offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes);
    directoriesAt = offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
  } else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
    countAt = offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes);
    directoriesAt = offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
  } else {
    return 0;
  }
  DWORD count = 0;
  IMAGE_DATA_DIRECTORY security{};
  const size_t securityAt = directoriesAt + IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
  if (!readExactlyAt(file, optional + countAt, &count, sizeof(count)) || count <= IMAGE_DIRECTORY_ENTRY_SECURITY ||
      fileHeader.SizeOfOptionalHeader < securityAt + sizeof(security) ||
      !readExactlyAt(file, optional + securityAt, &security, sizeof(security))) {
    return 0;
  }
  // Unlike the other directories, this one holds a file offset, not an address in memory.
  return security.Size != 0 ? security.VirtualAddress : 0;
}

}  // namespace

std::wstring ownProgramPath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

namespace {

// Where the archive's copy begins: at its directory, or at the last bytes where the archive
// library looks for the directory's end record (the longest comment, the record and the ZIP64
// locator), whichever comes first. 0, the whole archive at once, when the end record cannot be
// found or points outside the archive.
std::uint64_t directoryStartOf(HANDLE file, std::uint64_t offset, std::uint64_t span) {
  constexpr std::uint64_t kEndSearch = 65535 + 22 + 20;
  constexpr size_t kEndRecord = 22, kLocator = 20;
  const auto searched = static_cast<std::uint32_t>(std::min(span, kEndSearch));
  if (searched < kEndRecord) return 0;
  std::unique_ptr<char[]> tail(new char[searched]);
  if (!readExactlyAt(file, offset + span - searched, tail.get(), searched)) return 0;
  for (size_t at = searched - kEndRecord + 1; at-- > 0;) {
    if (memcmp(tail.get() + at, "PK\5\6", 4) != 0) continue;
    std::uint32_t directory = 0;
    memcpy(&directory, tail.get() + at + 16, sizeof(directory));
    std::uint64_t start = directory;
    if (start == 0xFFFFFFFF) {
      // ZIP64: the locator before the record names the ZIP64 end record, which names the
      // directory.
      if (at < kLocator || memcmp(tail.get() + at - kLocator, "PK\6\7", 4) != 0) return 0;
      std::uint64_t record = 0;
      memcpy(&record, tail.get() + at - kLocator + 8, sizeof(record));
      if (record > span - 56 || !readExactlyAt(file, offset + record + 48, &start, sizeof(start))) return 0;
      start = std::min(start, record);
    }
    return start > span ? 0 : std::min(start, span - searched);
  }
  return 0;
}

}  // namespace

UniqueFile createFresh(const std::wstring& path, DWORD access, DWORD share, bool* existed) {
  UniqueFile file(CreateFileW(path.c_str(), access, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  const bool there = !file && GetLastError() == ERROR_FILE_EXISTS;
  if (existed) *existed = there;
  if (there) {
    file.reset(CreateFileW(path.c_str(), access, share, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  return file;
}

ArchiveCopy::ArchiveCopy(const std::wstring& targetPath, std::uint32_t archiveOffset, const std::wstring& sourcePath)
    : offset_(archiveOffset), advanced_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  const std::wstring source = sourcePath.empty() ? ownProgramPath() : sourcePath;
  input_.reset(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr));

  LARGE_INTEGER fileSize{};
  if (input_ && !GetFileSizeEx(input_.get(), &fileSize)) fileSize.QuadPart = 0;
  // A publisher signs the finished setup program, and the signature table then follows the
  // archive. The archive ends where the table begins: the table is no part of it, and whatever
  // else it holds is never unpacked.
  std::uint64_t end = static_cast<std::uint64_t>(fileSize.QuadPart);
  if (input_) {
    const std::uint64_t table = signatureTableOffset(input_.get());
    if (table >= archiveOffset && table < end) end = table;
  }
  // Nothing to copy when the offset lies at or past the end; the unpacker then reports the
  // empty archive copy.
  if (input_ && end > archiveOffset) span_ = end - archiveOffset;

  if (span_ > 0) checkRoom(targetPath, span_ + unpackedRoom(source, archiveOffset, span_));
  output_ = createFresh(targetPath, GENERIC_READ | GENERIC_WRITE, 0);
  if (!output_ || !advanced_) throw Failure("can't create temporary zip file");
  if (span_ > 0) directoryStart_ = directoryStartOf(input_.get(), offset_, span_);
}

// Copies [from, to) of the archive. Readers hear of each piece of the rest (from the start);
// the directory counts once it is whole.
bool ArchiveCopy::copyRange(std::uint64_t from, std::uint64_t to, const std::atomic<bool>* cancel) {
  // Large enough that the copy costs next to nothing, small enough not to count in the setup
  // program's memory.
  constexpr std::uint32_t kChunk = 256 * 1024;
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  const bool rest = from == 0;
  for (std::uint64_t at = from; at < to;) {
    if (cancel && cancel->load()) return false;
    const auto wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, to - at));
    std::uint32_t read = 0;
    if (!readAt(input_.get(), offset_ + at, buffer.get(), wanted, read) || read == 0 ||
        !writeAt(output_.get(), at, buffer.get(), read)) {
      return false;
    }
    at += read;
    if (rest) {
      copied_ = at == directoryStart_ ? span_ : at;
      SetEvent(advanced_.get());
    }
  }
  return true;
}

bool ArchiveCopy::copyDirectory(const std::atomic<bool>* cancel) {
  const bool done = copyRange(directoryStart_, span_, cancel);
  if (done && directoryStart_ == 0) copied_ = span_;
  directoryCopied_ = done;
  if (!done) end();
  return done;
}

bool ArchiveCopy::copyRest(const std::atomic<bool>* cancel) {
  const bool done = complete() || (!ended_ && copyRange(0, directoryStart_, cancel));
  end();
  return done;
}

void ArchiveCopy::end() {
  ended_ = true;
  SetEvent(advanced_.get());
}

UniqueFile ArchiveCopy::readingHandle() const {
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), output_.get(), GetCurrentProcess(), &duplicate, FILE_GENERIC_READ, FALSE,
                       0)) {
    return UniqueFile();
  }
  return UniqueFile(duplicate);
}

void ArchiveCopy::waitFor(std::uint64_t offset, std::uint64_t size) const {
  const auto inPlace = [&] {
    return ended_ || offset + size <= copied_ || (directoryCopied_ && offset >= directoryStart_);
  };
  while (!inPlace()) {
    ResetEvent(advanced_.get());
    if (inPlace()) return;
    // Another reader may reset the event after the last advance: the wait is bounded.
    WaitForSingleObject(advanced_.get(), 20);
  }
}

std::uint32_t extractArchiveFile(const std::wstring& targetPath, std::uint32_t archiveOffset,
                                 const std::wstring& sourcePath, const std::atomic<bool>* cancel) {
  ArchiveCopy copy(targetPath, archiveOffset, sourcePath);
  if (copy.copyDirectory(cancel)) (void)copy.copyRest(cancel);
  return static_cast<std::uint32_t>(copy.size());
}

DWORD createPath(const std::wstring& path) {
  std::wstring normalized = path;
  for (auto& c : normalized) {
    if (c == L'/') c = L'\\';
  }
  DWORD result = 0;
  auto ensure = [&result](const std::wstring& prefix) {
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW(prefix.c_str(), &data));
    if (find) {
      result = 0;
      return;
    }
    result = CreateDirectoryW(prefix.c_str(), nullptr) ? 0 : GetLastError();
  };
  for (size_t pos = normalized.find(L'\\'); pos != std::wstring::npos; pos = normalized.find(L'\\', pos + 1)) {
    // Skip the empty prefix of a rooted path and drive roots such as "C:", which cannot be
    // created and are never found by a search.
    if (pos == 0 || (pos == 2 && normalized[1] == L':')) continue;
    if (normalized[pos - 1] == L'\\') continue;
    ensure(normalized.substr(0, pos));
  }
  if (!normalized.empty() && normalized.back() != L'\\') ensure(normalized);
  return result;
}

std::wstring programFilesFrom(const std::wstring& value) {
  const std::wstring marker = L" (x86)";
  if (value.find(marker) != std::wstring::npos) return value.substr(0, value.size() - marker.size());
  return value;
}

std::wstring readProgramFilesDir() {
  wchar_t buffer[1024];
  const DWORD length = GetEnvironmentVariableW(L"ProgramFiles", buffer, 1024);
  if (length < 1 || length > 1023) return {};
  return programFilesFrom(std::wstring(buffer, length));
}
