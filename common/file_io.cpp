#include "file_io.h"

#include <windows.h>

#include <algorithm>

#include "text.h"

namespace {
// Names already taken (a concurrent run, a left-over of a crash) are skipped; this bounds it.
constexpr unsigned kNameAttempts = 100;
constexpr size_t kChunk = size_t{1} << 20;
}  // namespace

bool readUpTo(NativeFile file, std::string& bytes, size_t limit) {
  char buffer[65536];
  while (bytes.size() < limit) {
    const DWORD wanted = static_cast<DWORD>(std::min(sizeof(buffer), limit - bytes.size()));
    DWORD read = 0;
    if (!ReadFile(file, buffer, wanted, &read, nullptr)) return false;
    if (read == 0) break;
    bytes.append(buffer, read);
  }
  return true;
}

bool readExactlyAt(NativeFile file, std::uint64_t offset, void* data, std::uint32_t size) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  DWORD read = 0;
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && ReadFile(file, data, size, &read, nullptr) &&
         read == size;
}

bool readWholeFile(const std::wstring& path, std::string& bytes, size_t limit) {
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  bytes.clear();
  // One byte past the limit tells a file that is too large from one that is just as large.
  return file && readUpTo(file.get(), bytes, limit + 1) && bytes.size() <= limit;
}

bool writeAll(NativeFile file, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  for (size_t done = 0; done < size;) {
    const DWORD chunk = static_cast<DWORD>(std::min(size - done, kChunk));
    DWORD written = 0;
    if (!WriteFile(file, bytes + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

bool readAt(NativeFile file, std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t& got) {
  got = 0;
  // Bounded: every round reads something or ends the loop. A disk file reads short only at its
  // end, so a short read needs no second one to find that out.
  while (got < count) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + got);
    at.OffsetHigh = static_cast<DWORD>((offset + got) >> 32);
    DWORD read = 0;
    if (!ReadFile(file, static_cast<char*>(buffer) + got, count - got, &read, offset == kFromPointer ? nullptr : &at)) {
      // A read at a given offset past the end fails with this rather than reading nothing.
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      got = 0;
      return false;
    }
    const bool whole = read == count - got;
    got += read;
    if (!whole) break;
  }
  return true;
}

bool writeAt(NativeFile file, std::uint64_t offset, const void* data, std::uint32_t count) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD written = 0;
  return WriteFile(file, data, count, &written, &at) && written == count;
}

bool seekTo(NativeFile file, std::uint64_t offset) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
}

bool sizeOf(NativeFile file, std::uint64_t& size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(file, &value)) return false;
  size = static_cast<std::uint64_t>(value.QuadPart);
  return true;
}

UniqueFile openToRead(const std::wstring& path) {
  return UniqueFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

UniqueFile openToUpdate(const std::wstring& path) {
  return UniqueFile(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

UniqueFile createToWrite(const std::wstring& path) {
  return UniqueFile(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

UniqueFile createScratchFile(const std::wstring& folder) {
  wchar_t name[MAX_PATH];
  if (GetTempFileNameW(folder.c_str(), L"pzs", 0, name) == 0) return UniqueFile();
  UniqueFile file(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    DeleteFileW(name);
    SetLastError(error);
  }
  return file;
}

bool stampOf(NativeFile file, FileStamp& stamp) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  stamp.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  stamp.written = (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                  info.ftLastWriteTime.dwLowDateTime;
  return true;
}

bool isDiskFile(NativeFile file) { return GetFileType(file) == FILE_TYPE_DISK; }

bool removeFile(const std::wstring& path) {
  return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool meansAlreadyExists(unsigned long code) { return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS; }

FileRemoval::~FileRemoval() {
  if (path_.empty()) return;
  const DWORD savedError = GetLastError();
  DeleteFileW(path_.c_str());
  SetLastError(savedError);
}

UniqueFile PendingFile::create(const std::wstring& target) {
  const size_t slash = target.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? std::wstring() : target.substr(0, slash + 1);
  // A short name of its own: one made longer from the target's name could break the length
  // limit of a name that the target itself keeps to.
  const std::wstring prefix = folder + L"~pm" + decimalText(GetCurrentProcessId()) + L"-";
  for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::wstring candidate = prefix + decimalText(attempt) + L".tmp";
    UniqueFile file(
        CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
      target_ = target;
      removal_.reset(candidate);
      return file;
    }
    if (!meansAlreadyExists(GetLastError())) break;
  }
  return UniqueFile();
}

bool PendingFile::replaceTarget() {
  if (path().empty()) return false;
  if (!MoveFileExW(path().c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return false;
  removal_.keep();
  return true;
}
