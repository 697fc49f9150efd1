#include "file_io.h"

#include <algorithm>

#include "text.h"

namespace {
// Names already taken (a concurrent run, a left-over of a crash) are skipped; this bounds it.
constexpr unsigned kNameAttempts = 100;
constexpr size_t kChunk = size_t{1} << 20;
}  // namespace

bool readUpTo(HANDLE file, std::string& bytes, size_t limit) {
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

bool readExactlyAt(HANDLE file, std::uint64_t offset, void* data, DWORD size) {
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

bool writeAll(HANDLE file, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  for (size_t done = 0; done < size;) {
    const DWORD chunk = static_cast<DWORD>(std::min(size - done, kChunk));
    DWORD written = 0;
    if (!WriteFile(file, bytes + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

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
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return UniqueFile();
}

bool PendingFile::replaceTarget() {
  if (path().empty()) return false;
  if (!MoveFileExW(path().c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return false;
  removal_.keep();
  return true;
}
