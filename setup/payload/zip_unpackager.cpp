#include "payload/zip_unpackager.h"

#include <windows.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <exception>
#include <vector>

#include "error_report.h"
#include "failure.h"
#include "file_io.h"
#include "file_search.h"
#include "handles.h"
#include "paths.h"
#include "payload/archive_reader.h"
#include "payload/entry_decoder.h"
#include "payload/entry_names.h"
#include "payload/payload.h"
#include "payload/unpack_plan.h"
#include "run_log.h"
#include "text.h"
#include "threads.h"

namespace {

// Progress is reported, and a stop request honoured, after every 1000 bytes written; the archive
// itself is read, inflated and written in far larger pieces.
constexpr size_t kReportChunk = 1000;
// Below this archive size a second thread costs more than it saves.
constexpr std::uint64_t kParallelFrom = 4 * 1024 * 1024;

std::uint64_t archiveFileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(extendedPath(path).c_str(), GetFileExInfoStandard, &data)) {
    raiseFileSystemError("cannot get file size", path, GetLastError());
  }
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Makes `folder` and those of its parents below the first `rootLength` characters that are
// missing. Folders are made when a file or folder is first found missing, never asked for
// beforehand: each question costs a round trip to the system. Failures are not reported here:
// the file that needs the folder reports them.
void makeFolder(const std::wstring& folder, size_t rootLength) {
  if (CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() != ERROR_PATH_NOT_FOUND) return;
  const size_t parentEnd = folder.rfind(L'\\');
  if (parentEnd == std::wstring::npos || parentEnd <= rootLength) return;
  makeFolder(folder.substr(0, parentEnd), rootLength);
  CreateDirectoryW(folder.c_str(), nullptr);
}

// Whether `folder` holds nothing at all (or cannot be listed).
bool isEmptyFolder(const std::wstring& folder) {
  FileSearch entries;
  for (bool more = entries.find(joinPath(folder, L"*")); more; more = entries.next()) {
    if (entries.name() != L"." && entries.name() != L"..") return false;
  }
  return true;
}

// Creates or empties the file `target`, making its missing folders below the first `rootLength`
// characters. Invalid when it cannot be opened. No one else may write the file while it is
// written: two entries that reach one file by different names (an 8.3 alias) never interleave.
// `existed` tells whether the file was there before.
UniqueFile createTarget(const std::wstring& target, size_t rootLength, bool& existed) {
  const auto create = [&target, &existed] {
    return createFresh(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, &existed);
  };
  UniqueFile file = create();
  if (!file && GetLastError() == ERROR_PATH_NOT_FOUND) {
    const size_t parentEnd = target.rfind(L'\\');
    if (parentEnd != std::wstring::npos && parentEnd > rootLength) {
      makeFolder(target.substr(0, parentEnd), rootLength);
      file = create();
    }
  }
  return file;
}

// The work of one extraction, shared by its threads: the entries (those that land on the same
// path one after another, on one thread), the progress, the stop request and the first error.
class Extraction {
 public:
  Extraction(ArchiveReader& reader, const UnpackPlan& plan, const std::wstring& root, std::uint64_t archiveSize,
             ProgressCallback& callback, const FileWrittenCallback& written, const std::string& archiveName)
      : reader_(reader), plan_(plan), root_(root), archiveSize_(archiveSize), callback_(callback), written_(written),
        archiveName_(archiveName), startedEmpty_(isEmptyFolder(root)) {}

  // Extracts entries until none is left, or until a stop request or an error anywhere.
  void run() noexcept {
    try {
      EntryDecoder decoder(decoderLimitsFor(plan_.entryCount()));
      for (std::uint32_t first = next_++; first < plan_.entryCount() && !stopped(); first = next_++) {
        if (plan_.passedOver(first)) continue;
        for (std::uint32_t index = first; index != UnpackPlan::kNone; index = plan_.follower(index)) {
          if (stopped() || !extract(index, index == first, decoder)) return;
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
  [[nodiscard]] std::uint64_t written() const { return total_; }

 private:
  static constexpr std::uint32_t kNoEntry = UnpackPlan::kNone;

  [[nodiscard]] bool stopped() const { return stopRequested_ || failed_; }

  void fail(std::uint32_t index, std::exception_ptr error) {
    Lock lock(lock_);
    // Of several errors the one of the earliest entry is reported, as one thread would have met it.
    if (!error_ || index < errorIndex_) {
      error_ = error;
      errorIndex_ = index;
    }
    failed_ = true;
  }

  // Writes the next `size` bytes of an entry of `entrySize` bytes, of which `delivered` came
  // before, and reports every 1000 bytes of the entry written (counted from the entry's start,
  // however the pieces fall, and the entry's last bytes). False after a stop request: the file
  // then ends where the last report said.
  bool deliver(HANDLE file, const char* data, size_t size, std::uint64_t& delivered, std::uint64_t entrySize,
               const std::string& displayName) {
    if (stopped()) return false;
    const std::uint64_t start = delivered, end = start + size;
    std::uint64_t writeEnd = end;
    bool goOn = true;
    {
      // Counted and reported under one lock, so that the figure never goes down.
      Lock lock(lock_);
      for (std::uint64_t reported = start - start % kReportChunk; goOn && reported < entrySize;) {
        const std::uint64_t sliceEnd = std::min<std::uint64_t>(reported + kReportChunk, entrySize);
        if (sliceEnd > end) break;
        total_ += sliceEnd - reported;
        reported = sliceEnd;
        float percent =
            archiveSize_ ? static_cast<float>(total_) / static_cast<float>(archiveSize_) * 100.0f : 100.0f;
        percent = std::min(percent, static_cast<float>(INT_MAX / 2));
        goOn = !callback_(static_cast<std::int32_t>(percent));
        if (!goOn) writeEnd = sliceEnd;
      }
      if (!goOn) stopRequested_ = true;
    }
    // Every failed write is reported: a setup must never go on from a half-written tree.
    if (!writeAll(file, data, static_cast<size_t>(writeEnd - start))) {
      throw ZipUnpackagerException("can't write file: " + displayName);
    }
    delivered = writeEnd;
    return goOn;
  }

  // Writes one entry; false after a stop request or an error (the file stays, partly written).
  // `firstOfPath`: no earlier entry lands on its path as the plan sees it.
  bool extract(std::uint32_t index, bool firstOfPath, EntryDecoder& decoder) {
    try {
      EntryInfo info;
      if (!reader_.describe(index, info) || info.name.empty()) return true;
      const std::string displayName = toNarrow(fromUtf8(info.name));
      const auto cannotOpen = [&] {
        return ZipUnpackagerException("can't find index " + std::to_string(index) + " in zip: " + archiveName_,
                                     kArchiveReadErrorExitCode);
      };
      // Only stored and deflated entries without encryption are read.
      if (info.encrypted || (info.method != ZIP_CM_STORE && info.method != ZIP_CM_DEFLATE)) throw cannotOpen();
      ArchiveReader::StoredData stored = reader_.open(index, info);
      if (!stored.valid()) throw cannotOpen();
      const std::wstring target = root_ + entryRelativePath(info.name);
      if (isNameSeparator(info.name.back())) {
        makeFolder(target, root_.size());
        return true;
      }
      bool existed = false;
      UniqueFile file = createTarget(target, root_.size(), existed);
      if (!file) {
        // An entry whose target is an existing folder is passed over.
        if (isFolder(target)) return true;
        throw ZipUnpackagerException("file can't be opened: " + displayName);
      }
      // In a folder that started empty (as the working folder does), a file already there for
      // the first entry of its path was written by an entry that names it another way (an 8.3
      // alias). Which of the two came first would depend on the threads, so neither wins.
      if (existed && firstOfPath && startedEmpty_) throw ZipUnpackagerException("file can't be opened: " + displayName);
      std::uint64_t delivered = 0;
      const bool decoded = decoder.decode(stored, info, displayName, [&](const char* data, size_t size) {
        return deliver(file.get(), data, size, delivered, info.size, displayName);
      });
      file.reset();
      // Complete once closed, unless a later entry lands on it too.
      if (decoded && written_ && plan_.follower(index) == UnpackPlan::kNone) written_(target);
      return decoded;
    } catch (...) {
      fail(index, std::current_exception());
      return false;
    }
  }

  ArchiveReader& reader_;
  const UnpackPlan& plan_;
  const std::wstring root_;
  const std::uint64_t archiveSize_;
  ProgressCallback& callback_;
  const FileWrittenCallback& written_;
  const std::string& archiveName_;
  const bool startedEmpty_;
  std::atomic<std::uint32_t> next_{0};
  std::uint64_t total_ = 0;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> failed_{false};
  CriticalSection lock_;  // one thread at a time counts and calls the callback; guards the error too
  std::exception_ptr error_;
  std::uint32_t errorIndex_ = 0;
};

}  // namespace

ZipUnpackagerException::ZipUnpackagerException(const std::string& detail, int exitCode)
    : message_("error occured, during archive unpackaging: " + detail), exitCode_(exitCode) {}

ZipUnpackager::ZipUnpackager(const std::wstring& archiveName) : archiveName_(toNarrow(archiveName)) {}

bool ZipUnpackager::isSafeEntryName(const std::string& name) { return ::isSafeEntryName(name); }

bool ZipUnpackager::unpack(const std::wstring& archivePath, const std::wstring& destination, ProgressCallback callback,
                           unsigned threads, const FileWrittenCallback& written, const ArchiveFeed* feed) const {
  if (!callback) throw Failure("progress callback is empty");
  const std::uint64_t archiveSize = archiveFileSize(archivePath);
  ArchiveReader reader(archivePath, feed);
  if (!reader.valid()) {
    throw ZipUnpackagerException("can't open zip: " + toNarrow(archivePath) + std::to_string(reader.errorCode()));
  }
  const UnpackPlan plan(reader);
  if (threads == 0) threads = archiveSize >= kParallelFrom && plan.entryCount() > 1 && processorCount() > 1 ? 2 : 1;
  if (plan.fileIsAlsoFolder()) threads = 1;
  run_log::line("unpacking: %u entries from %I64u archive bytes on %u thread(s)", plan.entryCount(), archiveSize,
                threads);

  // Extended paths, so that entries deep below a long temporary folder unpack as well.
  Extraction extraction(reader, plan, extendedPath(destination), archiveSize, callback, written, archiveName_);
  auto work = [&extraction] { extraction.run(); };
  std::vector<UniqueHandle> helpers;
  for (unsigned t = 1; t < threads; ++t) {
    UniqueHandle helper = startThread(work);
    if (!helper) break;  // no more threads to be had: the ones there do the work
    helpers.push_back(std::move(helper));
  }
  extraction.run();
  for (const UniqueHandle& helper : helpers) WaitForSingleObject(helper.get(), INFINITE);
  const bool done = extraction.finish();
  if (done) run_log::line("unpacked: %u entries, %I64u bytes", plan.entryCount(), extraction.written());
  return done;
}
