#include "payload/zip_unpackager.h"

#include <windows.h>
#include <zip.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <set>
#include <vector>

#include "error_report.h"
#include "handles.h"
#include "paths.h"
#include "text.h"

namespace {

constexpr zip_uint64_t kChunk = 1000;
constexpr size_t kWriteBuffer = 256 * 1024;

// Closes what libzip opened, whatever way the extraction ends.
struct ArchiveCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct EntryCloser {
  void operator()(zip_file_t* entry) const { zip_fclose(entry); }
};
using ArchivePtr = std::unique_ptr<zip_t, ArchiveCloser>;
using EntryPtr = std::unique_ptr<zip_file_t, EntryCloser>;

// An output file written through a buffer, so that the archive's small chunks do not each cost
// a system call. Every failed write is reported: a setup must never go on from a half-written
// tree.
class OutputFile {
 public:
  explicit OutputFile(const std::wstring& path)
      : file_(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {
    buffer_.reserve(kWriteBuffer);
  }
  [[nodiscard]] bool isOpen() const { return file_.valid(); }

  [[nodiscard]] bool write(const char* data, size_t size) {
    if (buffer_.size() + size > kWriteBuffer && !flush()) return false;
    buffer_.insert(buffer_.end(), data, data + size);
    return true;
  }
  [[nodiscard]] bool flush() {
    size_t done = 0;
    while (done < buffer_.size()) {
      DWORD written = 0;
      const DWORD part = static_cast<DWORD>(std::min<size_t>(buffer_.size() - done, 1u << 30));
      if (!WriteFile(file_.get(), buffer_.data() + done, part, &written, nullptr) || written == 0) return false;
      done += written;
    }
    buffer_.clear();
    return true;
  }

 private:
  UniqueFile file_;
  std::vector<char> buffer_;
};

bool isSeparator(char c) { return c == '/' || c == '\\'; }

bool equalsIgnoringAsciiCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    const char x = (a[i] >= 'a' && a[i] <= 'z') ? static_cast<char>(a[i] - 'a' + 'A') : a[i];
    if (x != b[i]) return false;
  }
  return i == a.size() && !b[i];
}

bool isDigitOrSuperscript(const std::string& text) {
  // The platform also takes "¹", "²" and "³" (UTF-8 C2 B9, C2 B2, C2 B3) for device numbers.
  if (text.size() == 1) return text[0] >= '0' && text[0] <= '9';
  return text == "\xC2\xB9" || text == "\xC2\xB2" || text == "\xC2\xB3";
}

// CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9 and LPT0-9 name devices whatever extension follows
// them.
bool isDeviceName(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (equalsIgnoringAsciiCase(base, device)) return true;
  }
  if (base.size() < 4) return false;
  const std::string stem = base.substr(0, 3);
  return (equalsIgnoringAsciiCase(stem, "COM") || equalsIgnoringAsciiCase(stem, "LPT")) &&
         isDigitOrSuperscript(base.substr(3));
}

// The platform's path rules drop trailing dots and spaces from every component ("a. \b." is
// "a\b"); extended paths do not, so the unpacker does it itself, and the files land where they
// always did.
std::string withoutTrailingDotsAndSpaces(std::string component) {
  while (!component.empty() && (component.back() == '.' || component.back() == ' ')) component.pop_back();
  return component;
}

// Splits an entry name at "/" and "\", dropping empty and "." components.
std::vector<std::string> nameComponents(const std::string& name) {
  std::vector<std::string> components;
  std::string current;
  auto take = [&] {
    if (!current.empty() && current != ".") components.push_back(current);
    current.clear();
  };
  for (char c : name) {
    if (isSeparator(c)) {
      take();
    } else {
      current += c;
    }
  }
  take();
  return components;
}

[[noreturn]] void raiseReadError(const std::string& displayName) {
  std::fputs("error reading file in archive/n", stderr);
  std::fflush(stderr);
  throw ZipUnpackagerException("error reading file in archive: " + displayName, kArchiveReadErrorExitCode);
}

std::uint64_t archiveFileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(extendedPath(path).c_str(), GetFileExInfoStandard, &data)) {
    raiseFileSystemError("cannot get file size", path, GetLastError());
  }
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool isExistingFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

ZipUnpackagerException::ZipUnpackagerException(const std::string& detail, int exitCode)
    : message_("error occured, during archive unpackaging: " + detail), exitCode_(exitCode) {}

ZipUnpackager::ZipUnpackager(const std::wstring& archiveName)
    : archiveName_(toNarrow(archiveName)) {}

bool ZipUnpackager::isSafeEntryName(const std::string& name) {
  if (name.empty() || isSeparator(name[0])) return false;  // rooted, UNC and \\?\ names
  if (name.find(':') != std::string::npos) return false;  // drive letters and data streams
  for (const std::string& component : nameComponents(name)) {
    // A component of dots and spaces alone would vanish or climb a level.
    if (withoutTrailingDotsAndSpaces(component).empty() || isDeviceName(component)) return false;
  }
  return true;
}

bool ZipUnpackager::unpack(const std::wstring& archivePath, const std::wstring& destination,
                           ProgressCallback callback) const {
  if (!callback) throw std::invalid_argument("progress callback is empty");

  const std::uint64_t archiveSize = archiveFileSize(archivePath);

  zip_error_t openError;
  zip_error_init(&openError);
  zip_source_t* source = zip_source_win32w_create(extendedPath(archivePath).c_str(), 0, -1, &openError);
  ArchivePtr zip(source ? zip_open_from_source(source, ZIP_RDONLY, &openError) : nullptr);
  if (!zip) {
    if (source) zip_source_free(source);
    const int code = zip_error_code_zip(&openError);
    zip_error_fini(&openError);
    throw ZipUnpackagerException("can't open zip: " + toNarrow(archivePath) + std::to_string(code));
  }
  zip_error_fini(&openError);

  // Extended paths, so that entries deep below a long temporary folder unpack as well.
  const std::wstring root = extendedPath(destination);
  std::set<std::wstring> madeFolders;
  std::uint64_t total = 0;
  std::vector<char> buffer(kChunk);

  for (zip_int64_t i = 0; i < zip_get_num_entries(zip.get(), 0); ++i) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(zip.get(), static_cast<zip_uint64_t>(i), 0, &stat) != 0) {
      std::fputs("File[ZipUnpackager] Line[114]/n", stdout);
      std::fflush(stdout);
      continue;
    }
    EntryPtr entry(zip_fopen_index(zip.get(), static_cast<zip_uint64_t>(i), 0));
    if (!entry) {
      throw ZipUnpackagerException("can't find index " + std::to_string(i) + " in zip: " + archiveName_);
    }

    // libzip hands names out as UTF-8 (names stored in the old code page are converted).
    const std::string name = stat.name ? stat.name : "";
    const std::string displayName = toNarrow(fromUtf8(name));
    if (!isSafeEntryName(name)) throw ZipUnpackagerException("unsafe entry name: " + displayName);

    // The folders on the way are made one level at a time, each once: asking the file system
    // again for each of thousands of files is what costs the time. Folder trouble is not
    // reported here: the open below decides.
    const std::vector<std::string> components = nameComponents(name);
    const bool folderEntry = isSeparator(name.back());
    std::wstring target = root;
    for (size_t c = 0; c < components.size(); ++c) {
      target += L'\\';
      target += fromUtf8(withoutTrailingDotsAndSpaces(components[c]));
      const bool isFolder = folderEntry || c + 1 < components.size();
      if (isFolder && madeFolders.insert(target).second) CreateDirectoryW(target.c_str(), nullptr);
    }
    if (folderEntry) continue;

    OutputFile output(target);
    if (!output.isOpen()) {
      // An entry whose target is an existing folder is passed over.
      if (isExistingFolder(target)) continue;
      throw ZipUnpackagerException("file can't be opened: " + displayName);
    }

    std::uint64_t written = 0;
    while ((stat.valid & ZIP_STAT_SIZE) && written < stat.size) {
      const zip_int64_t read = zip_fread(entry.get(), buffer.data(), kChunk);
      if (read < 0) raiseReadError(displayName);
      if (read == 0) throw ZipUnpackagerException("damaged archive, data ends early: " + displayName);
      if (!output.write(buffer.data(), static_cast<size_t>(read))) {
        throw ZipUnpackagerException("can't write file: " + displayName);
      }
      written += static_cast<std::uint64_t>(read);
      total += static_cast<std::uint64_t>(read);

      float percent = archiveSize ? static_cast<float>(total) / static_cast<float>(archiveSize) * 100.0f : 100.0f;
      percent = std::min(percent, static_cast<float>(INT_MAX / 2));
      if (callback(static_cast<std::int32_t>(percent))) {
        (void)output.flush();
        return false;
      }
    }
    // One more read reaches the entry's end, where libzip checks the data against its CRC: a
    // damaged entry must not pass for a good one just because its length came out right.
    if (stat.valid & ZIP_STAT_SIZE) {
      const zip_int64_t tail = zip_fread(entry.get(), buffer.data(), kChunk);
      if (tail < 0) raiseReadError(displayName);
      if (tail > 0) throw ZipUnpackagerException("damaged archive, data runs past its size: " + displayName);
    }
    if (!output.flush()) throw ZipUnpackagerException("can't write file: " + displayName);
  }

  // A read-only archive has nothing to write: closing it only releases it (zip_close would do
  // the same and return 0, but would link the whole writing machinery into the setup program).
  zip.reset();
  return true;
}
