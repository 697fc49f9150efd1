#include "payload/zip_unpackager.h"

#include <windows.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "error_report.h"
#include "handles.h"
#include "paths.h"
#include "payload/entry_names.h"
#include "text.h"

namespace {

// Progress is reported, and a stop request honoured, after every 1000 bytes written; the archive
// itself is read in larger pieces, which costs the archive library far fewer calls.
constexpr size_t kReportChunk = 1000;
constexpr size_t kReadPiece = 64 * 1024;
constexpr size_t kWriteBuffer = 64 * 1024;
// Below this archive size a second thread costs more than it saves.
constexpr std::uint64_t kParallelFrom = 4 * 1024 * 1024;

// Closes what libzip opened, whatever way the extraction ends. A read-only archive has nothing to
// write: discarding it is all that closing does (zip_close would do the same, but would link the
// whole writing machinery into the setup program).
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

ArchivePtr openArchive(const std::wstring& path, int& errorCode) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_win32w_create(extendedPath(path).c_str(), 0, -1, &error);
  ArchivePtr archive(source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr);
  if (!archive && source) zip_source_free(source);
  errorCode = zip_error_code_zip(&error);
  zip_error_fini(&error);
  return archive;
}

// One entry as the central directory describes it, and where it lands.
struct Entry {
  std::string displayName;         // ANSI, for error texts
  std::wstring target;             // extended path below the destination
  std::vector<size_t> folderEnds;  // where the folders to make on the way end in it, outermost first
  bool folderEntry = false;
  bool sizeKnown = false;
  std::uint64_t size = 0;
};

// Reads entry `index` of the archive. False when it cannot be read (a diagnostic line goes to
// standard output and the entry is passed over). Raises for a name that is refused.
bool describe(zip_t* archive, zip_uint64_t index, const std::wstring& root, Entry& entry) {
  zip_stat_t stat;
  zip_stat_init(&stat);
  if (zip_stat_index(archive, index, 0, &stat) != 0) {
    std::fputs("File[ZipUnpackager] Line[114]/n", stdout);
    std::fflush(stdout);
    return false;
  }
  // libzip hands names out as UTF-8 (names stored in the old code page are converted).
  const std::string name = stat.name ? stat.name : "";
  entry = Entry{toNarrow(fromUtf8(name)), root, {}, false, (stat.valid & ZIP_STAT_SIZE) != 0, stat.size};
  if (!isSafeEntryName(name)) throw ZipUnpackagerException("unsafe entry name: " + entry.displayName);
  entry.folderEntry = isNameSeparator(name.back());
  const std::vector<std::string> components = entryPathComponents(name);
  for (size_t c = 0; c < components.size(); ++c) {
    entry.target += L'\\';
    entry.target += fromUtf8(components[c]);
    if (entry.folderEntry || c + 1 < components.size()) entry.folderEnds.push_back(entry.target.size());
  }
  return true;
}

// The work of one extraction, shared by its threads: the entries in groups that land on the same
// path (so that one thread writes them, in archive order, and the last one wins as it would
// alone), the progress, the stop request and the first error.
class Extraction {
 public:
  Extraction(std::vector<std::vector<zip_uint64_t>> groups, const std::wstring& root, std::uint64_t archiveSize,
             ProgressCallback& callback, const std::string& archiveName)
      : groups_(std::move(groups)), root_(root), archiveSize_(archiveSize), callback_(callback),
        archiveName_(archiveName) {}

  // Extracts groups until none is left, or until a stop request or an error anywhere.
  void run(zip_t* archive) noexcept {
    std::set<std::wstring> madeFolders;
    std::vector<char> buffer(kReadPiece);
    try {
      for (size_t group = next_++; group < groups_.size() && !stopped(); group = next_++) {
        for (const zip_uint64_t index : groups_[group]) {
          if (stopped() || !extract(archive, index, madeFolders, buffer)) return;
        }
      }
    } catch (...) {
      fail(kNoEntry, std::current_exception());
    }
  }

  // False when the callback asked to stop; raises the first error of any thread.
  bool finish() {
    if (error_) std::rethrow_exception(error_);
    return !stopRequested_;
  }

 private:
  static constexpr zip_uint64_t kNoEntry = ~zip_uint64_t{0};

  [[nodiscard]] bool stopped() const { return stopRequested_ || failed_; }

  void fail(zip_uint64_t index, std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Of several errors the one of the earliest entry is reported, as one thread would have met it.
    if (!error_ || index < errorIndex_) {
      error_ = error;
      errorIndex_ = index;
    }
    failed_ = true;
  }

  // Counts `bytes` more written and reports the percentage; false when asked to stop.
  bool report(size_t bytes) {
    // Counted and reported under one lock, so that the figure never goes down.
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t total = total_ += bytes;
    float percent = archiveSize_ ? static_cast<float>(total) / static_cast<float>(archiveSize_) * 100.0f : 100.0f;
    percent = std::min(percent, static_cast<float>(INT_MAX / 2));
    if (callback_(static_cast<std::int32_t>(percent))) stopRequested_ = true;
    return !stopRequested_;
  }

  // Writes one entry; false after a stop request (the file stays, partly written).
  bool extract(zip_t* archive, zip_uint64_t index, std::set<std::wstring>& madeFolders, std::vector<char>& buffer) {
    try {
      Entry entry;
      if (!describe(archive, index, root_, entry)) return true;
      EntryPtr file(zip_fopen_index(archive, index, 0));
      if (!file) {
        throw ZipUnpackagerException("can't find index " + std::to_string(index) + " in zip: " + archiveName_,
                                     kArchiveReadErrorExitCode);
      }
      // Each folder is made once: asking the file system again for each of thousands of files is
      // what costs the time. Folder trouble is not reported here: the open below decides.
      for (const size_t end : entry.folderEnds) {
        const std::wstring folder = entry.target.substr(0, end);
        if (madeFolders.insert(folder).second) CreateDirectoryW(folder.c_str(), nullptr);
      }
      if (entry.folderEntry) return true;

      OutputFile output(entry.target);
      if (!output.isOpen()) {
        // An entry whose target is an existing folder is passed over.
        if (isExistingFolder(entry.target)) return true;
        throw ZipUnpackagerException("file can't be opened: " + entry.displayName);
      }
      std::uint64_t written = 0;
      while (entry.sizeKnown && written < entry.size) {
        const zip_int64_t read = zip_fread(file.get(), buffer.data(), std::min<std::uint64_t>(kReadPiece, entry.size - written));
        if (read < 0) raiseReadError(entry.displayName);
        if (read == 0) {
          throw ZipUnpackagerException("damaged archive, data ends early: " + entry.displayName, kArchiveReadErrorExitCode);
        }
        for (size_t done = 0; done < static_cast<size_t>(read);) {
          const size_t slice = std::min(kReportChunk, static_cast<size_t>(read) - done);
          if (!output.write(buffer.data() + done, slice)) {
            throw ZipUnpackagerException("can't write file: " + entry.displayName);
          }
          done += slice;
          written += slice;
          if (!report(slice)) {
            (void)output.flush();
            return false;
          }
        }
      }
      // One more read reaches the entry's end, where libzip checks the data against its CRC: a
      // damaged entry must not pass for a good one just because its length came out right.
      if (entry.sizeKnown) {
        const zip_int64_t tail = zip_fread(file.get(), buffer.data(), kReportChunk);
        if (tail < 0) raiseReadError(entry.displayName);
        if (tail > 0) {
          throw ZipUnpackagerException("damaged archive, data runs past its size: " + entry.displayName,
                                       kArchiveReadErrorExitCode);
        }
      }
      if (!output.flush()) throw ZipUnpackagerException("can't write file: " + entry.displayName);
      return true;
    } catch (...) {
      fail(index, std::current_exception());
      return false;
    }
  }

  const std::vector<std::vector<zip_uint64_t>> groups_;
  const std::wstring root_;
  const std::uint64_t archiveSize_;
  ProgressCallback& callback_;
  const std::string& archiveName_;
  std::atomic<size_t> next_{0};
  std::uint64_t total_ = 0;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> failed_{false};
  std::mutex mutex_;  // one thread at a time counts and calls the callback; guards the error too
  std::exception_ptr error_;
  zip_uint64_t errorIndex_ = 0;
};

// Reads the central directory: every entry, in groups by the path it lands on (in the order of
// their first entries), so that one thread writes them in archive order and the last one wins,
// as it would alone. Refuses the first unsafe name before anything is created. Only the indexes
// are kept: the names are read again, from the directory in memory, when the entry is written.
std::vector<std::vector<zip_uint64_t>> plan(zip_t* archive, const std::wstring& root) {
  std::vector<std::vector<zip_uint64_t>> groups;
  std::unordered_map<std::wstring, size_t> groupOfTarget;
  const zip_int64_t count = zip_get_num_entries(archive, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    Entry entry;
    if (!describe(archive, static_cast<zip_uint64_t>(i), root, entry)) continue;
    // The file system ignores letter case, so the key does too.
    CharUpperBuffW(entry.target.data(), static_cast<DWORD>(entry.target.size()));
    const auto [place, added] = groupOfTarget.emplace(std::move(entry.target), groups.size());
    if (added) groups.emplace_back();
    groups[place->second].push_back(static_cast<zip_uint64_t>(i));
  }
  return groups;
}

}  // namespace

ZipUnpackagerException::ZipUnpackagerException(const std::string& detail, int exitCode)
    : message_("error occured, during archive unpackaging: " + detail), exitCode_(exitCode) {}

ZipUnpackager::ZipUnpackager(const std::wstring& archiveName) : archiveName_(toNarrow(archiveName)) {}

bool ZipUnpackager::isSafeEntryName(const std::string& name) { return ::isSafeEntryName(name); }

bool ZipUnpackager::unpack(const std::wstring& archivePath, const std::wstring& destination, ProgressCallback callback,
                           unsigned threads) const {
  if (!callback) throw std::invalid_argument("progress callback is empty");
  const std::uint64_t archiveSize = archiveFileSize(archivePath);
  int openError = 0;
  ArchivePtr archive = openArchive(archivePath, openError);
  if (!archive) throw ZipUnpackagerException("can't open zip: " + toNarrow(archivePath) + std::to_string(openError));

  // Extended paths, so that entries deep below a long temporary folder unpack as well.
  const std::wstring root = extendedPath(destination);
  std::vector<std::vector<zip_uint64_t>> groups = plan(archive.get(), root);
  if (threads == 0) {
    threads = archiveSize >= kParallelFrom && groups.size() > 1 && std::thread::hardware_concurrency() > 1 ? 2 : 1;
  }
  Extraction extraction(std::move(groups), root, archiveSize, callback, archiveName_);
  // Each thread reads through an archive handle of its own: one handle is not to be shared.
  std::vector<ArchivePtr> handles;
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < threads; ++t) {
    ArchivePtr handle = openArchive(archivePath, openError);
    if (!handle) break;
    try {
      helpers.emplace_back([&extraction, raw = handle.get()] { extraction.run(raw); });
    } catch (const std::exception&) {
      break;  // no more threads to be had: the ones there do the work
    }
    handles.push_back(std::move(handle));
  }
  extraction.run(archive.get());
  for (std::thread& helper : helpers) helper.join();
  return extraction.finish();
}
