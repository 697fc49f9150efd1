#include "folder_archive.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "error_report.h"
#include "file_io.h"
#include "file_packer.h"
#include "folder_walk.h"
#include "text.h"
#include "threads.h"
#include "zip_writer.h"

namespace {

constexpr unsigned kMaxWorkers = 8;
constexpr std::uint32_t kCopyChunk = 1 << 20;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
// Files the walk hands over at once, and the most files and bytes (as listed) a packing thread
// takes at once.
constexpr std::size_t kBatch = 64;
constexpr std::size_t kRunFiles = 32;
constexpr std::uint64_t kRunBytes = 256 << 10;

// One packing thread per processor. More do not hide the waits for the system: under Wine a small
// file's open, read and close are mostly requests to its server, which answers one at a time,
// and the first read and the close each take one lock of the whole process; threads beyond the
// processors mostly wait for each other there (100,000 small files took a third longer with two
// per processor).
unsigned workerCount(unsigned requested) {
  return std::clamp(requested != 0 ? requested : processorCount(), 1u, kMaxWorkers);
}

// A new empty file in `folder` that goes when it is closed, however the program ends.
UniqueFile createSpool(const std::wstring& folder) {
  UniqueFile spool = createScratchFile(folder);
  if (!spool) {
    throw std::runtime_error(
        toNarrow(L"Can't create a temporary file in " + folder + L": " + systemReason(lastSystemError())));
  }
  return spool;
}

// Files flow from the walk (add) to the packing threads, which take them in walk order, and from
// them to the writing thread, which writes them in walk order and stops at the first that failed.
// Every wait and wake-up costs requests to the system, so files go on in runs: the walk hands
// them over in batches, and a packing thread takes a run of small ones at once.
class Pipeline {
 public:
  Pipeline(NativeFile archive, const std::wstring& shownArchive, const std::wstring& spoolFolder, unsigned workers)
      : zip_(archive), cannotWrite_("Can't create zip: " + toNarrow(shownArchive)) {
    const unsigned count = workerCount(workers);
    for (unsigned i = 0; i < count; ++i) spools_.push_back(createSpool(spoolFolder));
    errors_.resize(count + 1);
    try {
      threads_.emplace_back([this] { write(); });
      for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this, i, spoolFolder] { pack(i, spoolFolder); });
    } catch (...) {
      stop();
      throw;
    }
  }
  ~Pipeline() { stop(); }
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // The next files in walk order.
  void add(std::vector<WalkedFile>& files) {
    {
      Lock lock(mutex_);
      for (WalkedFile& file : files) {
        items_.emplace_back();
        items_.back().file = std::move(file);
      }
    }
    files.clear();
    work_.notifyAll();
  }

  // Ends the input and waits until every file is written, or the first failure in walk order
  // has stopped the work; returns that failure's line, empty when there is none. Raises what a
  // thread could not handle (std::bad_alloc).
  std::string finish() {
    endThreads(inputEnded_);
    for (const std::exception_ptr& error : errors_) {
      if (error) std::rethrow_exception(error);
    }
    return failure_;
  }

 private:
  struct Item {
    WalkedFile file;
    PackedFile packed;
    bool done = false;
    std::string failure;
    std::size_t spool = 0;
  };

  void stop() noexcept { endThreads(stopped_); }

  // Sets `flag` (inputEnded_ or stopped_) under the lock, wakes every thread and waits for all
  // of them to end.
  void endThreads(bool& flag) noexcept {
    {
      Lock lock(mutex_);
      flag = true;
    }
    work_.notifyAll();
    done_.notifyAll();
    for (Thread& thread : threads_) thread.join();
    threads_.clear();
  }

  // Stops every thread with `failure` as the result, unless an earlier one is there.
  void fail(std::string failure) {
    {
      Lock lock(mutex_);
      if (!stopped_) failure_ = std::move(failure);
      stopped_ = true;
    }
    work_.notifyAll();
    done_.notifyAll();
  }

  // One packing thread: takes the next run of files in walk order until none is left, or none
  // before the first failed one, or the work stops.
  void pack(std::size_t worker, std::wstring spoolFolder) noexcept {
    try {
      FilePacker packer(spools_[worker].get(), std::move(spoolFolder), memoryInUse_);
      std::vector<std::pair<Item*, std::string>> run;
      for (;;) {
        std::size_t first = 0;
        {
          Lock lock(mutex_);
          work_.wait(mutex_, [&] { return stopped_ || inputEnded_ || next_ < written_ + items_.size(); });
          if (stopped_ || next_ == written_ + items_.size() || next_ > firstFailed_) return;
          first = next_;
          std::uint64_t bytes = 0;
          do {
            Item& item = items_[next_++ - written_];
            run.emplace_back(&item, std::string());
            bytes += item.file.listedSize;
          } while (next_ < written_ + items_.size() && run.size() < kRunFiles && bytes < kRunBytes);
        }
        for (auto& [item, failure] : run) failure = packer.pack(item->file, item->packed);
        {
          Lock lock(mutex_);
          for (std::size_t i = 0; i < run.size(); ++i) {
            Item& item = *run[i].first;
            item.done = true;
            item.spool = worker;
            if (!run[i].second.empty()) {
              item.failure = std::move(run[i].second);
              firstFailed_ = std::min(firstFailed_, first + i);
            }
          }
        }
        run.clear();
        done_.notifyOne();
      }
    } catch (...) {
      errors_[worker + 1] = std::current_exception();
      fail({});
    }
  }

  // The writing thread: the packed files in walk order, as many at a time as are done, then the
  // central directory.
  void write() noexcept {
    try {
      std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kCopyChunk]);
      std::vector<Item*> ready;
      for (;;) {
        {
          Lock lock(mutex_);
          done_.wait(mutex_, [&] {
            return stopped_ || (!items_.empty() && items_.front().done) || (inputEnded_ && items_.empty());
          });
          if (stopped_) return;
          if (items_.empty()) break;
          for (Item& item : items_) {
            if (!item.done) break;
            ready.push_back(&item);
          }
        }
        for (Item* item : ready) {
          if (!item->failure.empty()) return fail(std::move(item->failure));
          if (!writeEntry(*item, buffer.get())) return fail(zip_.tooLarge() ? kArchiveTooLarge : cannotWrite_);
        }
        {
          Lock lock(mutex_);
          items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(ready.size()));
          written_ += ready.size();
        }
        ready.clear();
      }
      if (!zip_.finish()) fail(zip_.tooLarge() ? kArchiveTooLarge : cannotWrite_);
    } catch (...) {
      errors_[0] = std::current_exception();
      fail({});
    }
  }

  bool writeEntry(Item& item, std::uint8_t* buffer) {
    PackedFile& packed = item.packed;
    if (!zip_.begin(packed.info)) return false;
    if (!packed.memory.empty()) {
      const bool written = zip_.data(packed.memory.data(), packed.memory.size());
      memoryInUse_.fetch_sub(packed.memory.size());
      std::vector<std::uint8_t>().swap(packed.memory);
      return written;
    }
    for (std::uint64_t copied = 0; copied < packed.info.packedSize;) {
      const auto wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(kCopyChunk, packed.info.packedSize - copied));
      std::uint32_t got = 0;
      if (!readAt(spools_[item.spool].get(), packed.spoolOffset + copied, buffer, wanted, got) || got != wanted ||
          !zip_.data(buffer, got)) {
        return false;
      }
      copied += got;
    }
    return true;
  }

  ZipWriter zip_;
  const std::string cannotWrite_;
  std::vector<UniqueFile> spools_;
  std::atomic<std::uint64_t> memoryInUse_{0};
  CriticalSection mutex_;
  Condition work_;  // files to pack, the end of the input, or a stop
  Condition done_;  // files packed, the end of the input, or a stop
  // The files not yet written; the first is file number written_ in walk order. Only grown at
  // the end and shrunk at the front, so the items that threads hold stay in place.
  std::deque<Item> items_;
  std::size_t written_ = 0;
  std::size_t next_ = 0;
  std::size_t firstFailed_ = kNone;
  bool inputEnded_ = false;
  bool stopped_ = false;
  std::string failure_;
  std::vector<std::exception_ptr> errors_;
  std::vector<Thread> threads_;
};

}  // namespace

FolderArchive::FolderArchive(const std::wstring& path, const std::wstring& shownPath, std::wstring spoolFolder)
    : shownPath_(shownPath), spoolFolder_(std::move(spoolFolder)) {
  file_ = createToWrite(path);
  if (!file_) throw std::runtime_error("Can't create zip: " + toNarrow(shownPath_));
  removal_.reset(path);
}

void FolderArchive::write(const std::wstring& folder, const std::wstring& shown, unsigned workers) {
  // The files point into their folders: these go after the pipeline.
  WalkedFolders folders;
  std::string failure;
  std::exception_ptr walkError;
  {
    Pipeline pipeline(file_.get(), shownPath_, spoolFolder_, workers);
    std::vector<WalkedFile> batch;
    try {
      walkFolder(folder, shown, folders, [&](WalkedFile&& file) {
        batch.push_back(std::move(file));
        if (batch.size() == kBatch) pipeline.add(batch);
      });
    } catch (...) {
      // Reported after the files found before it, which may hold an earlier failure.
      walkError = std::current_exception();
    }
    pipeline.add(batch);
    failure = pipeline.finish();
  }
  if (!failure.empty()) throw std::runtime_error(failure);
  if (walkError) std::rethrow_exception(walkError);
  file_.reset();
  removal_.keep();
}
