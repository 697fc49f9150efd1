#include "folder_archive.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "error_report.h"
#include "file_packer.h"
#include "folder_walk.h"
#include "text.h"
#include "zip_writer.h"

namespace {

constexpr unsigned kMaxWorkers = 8;
constexpr DWORD kCopyChunk = 1 << 20;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

unsigned workerCount(unsigned requested) {
  return std::clamp(requested != 0 ? requested : std::thread::hardware_concurrency(), 1u, kMaxWorkers);
}

// A new empty file in `folder` that the system deletes when its handle is closed, however the
// program ends.
UniqueFile createSpool(const std::wstring& folder) {
  wchar_t name[MAX_PATH];
  DWORD error = ERROR_SUCCESS;
  if (GetTempFileNameW(folder.c_str(), L"pzs", 0, name) == 0) {
    error = GetLastError();
  } else {
    UniqueFile spool(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (spool) return spool;
    error = GetLastError();
    DeleteFileW(name);
  }
  throw std::runtime_error(toNarrow(L"Can't create a temporary file in " + folder + L": " + systemReason(error)));
}

// Files flow from the walk (add) to the packing threads, which take them in walk order, and from
// them to the writing thread, which writes them in walk order and stops at the first that failed.
class Pipeline {
 public:
  Pipeline(HANDLE archive, const std::wstring& shownArchive, const std::wstring& spoolFolder, unsigned workers)
      : zip_(archive), cannotWrite_("Can't create zip: " + toNarrow(shownArchive)) {
    const unsigned count = workerCount(workers);
    for (unsigned i = 0; i < count; ++i) spools_.push_back(createSpool(spoolFolder));
    errors_.resize(count + 1);
    try {
      threads_.emplace_back(&Pipeline::write, this);
      for (unsigned i = 0; i < count; ++i) threads_.emplace_back(&Pipeline::pack, this, i, spoolFolder);
    } catch (...) {
      stop();
      throw;
    }
  }
  ~Pipeline() { stop(); }
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  void add(WalkedFile file) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      items_.emplace_back();
      items_.back().file = std::move(file);
    }
    changed_.notify_all();
  }

  // Ends the input and waits until every file is written, or the first failure in walk order
  // has stopped the work; returns that failure's line, empty when there is none. Raises what a
  // thread could not handle (std::bad_alloc).
  std::string finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      inputEnded_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
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

  void stop() noexcept {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

  // Stops every thread with `failure` as the result, unless an earlier one is there.
  void fail(std::string failure) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!stopped_) failure_ = std::move(failure);
      stopped_ = true;
    }
    changed_.notify_all();
  }

  // One packing thread: takes the next file in walk order until none is left, or none before
  // the first failed one, or the work stops.
  void pack(std::size_t worker, std::wstring spoolFolder) noexcept {
    try {
      FilePacker packer(spools_[worker].get(), std::move(spoolFolder), memoryInUse_);
      for (;;) {
        Item* item = nullptr;
        std::size_t index = 0;
        {
          std::unique_lock<std::mutex> lock(mutex_);
          changed_.wait(lock, [&] { return stopped_ || inputEnded_ || next_ < written_ + items_.size(); });
          if (stopped_ || next_ == written_ + items_.size() || next_ > firstFailed_) return;
          index = next_++;
          item = &items_[index - written_];
        }
        std::string failure = packer.pack(item->file, item->packed);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          item->done = true;
          item->spool = worker;
          if (!failure.empty()) {
            item->failure = std::move(failure);
            firstFailed_ = std::min(firstFailed_, index);
          }
        }
        changed_.notify_all();
      }
    } catch (...) {
      errors_[worker + 1] = std::current_exception();
      fail({});
    }
  }

  // The writing thread: each packed file in walk order, then the central directory.
  void write() noexcept {
    try {
      std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kCopyChunk]);
      for (;;) {
        Item* item = nullptr;
        {
          std::unique_lock<std::mutex> lock(mutex_);
          changed_.wait(lock, [&] {
            return stopped_ || (!items_.empty() && items_.front().done) || (inputEnded_ && items_.empty());
          });
          if (stopped_) return;
          if (items_.empty()) break;
          item = &items_.front();
        }
        if (!item->failure.empty()) return fail(std::move(item->failure));
        if (!writeEntry(*item, buffer.get())) return fail(zip_.tooLarge() ? kArchiveTooLarge : cannotWrite_);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          items_.pop_front();
          ++written_;
        }
      }
      if (!zip_.finish()) fail(zip_.tooLarge() ? kArchiveTooLarge : cannotWrite_);
    } catch (...) {
      errors_[0] = std::current_exception();
      fail({});
    }
  }

  bool writeEntry(Item& item, std::uint8_t* buffer) {
    const PackedFile& packed = item.packed;
    if (!zip_.begin(packed.info)) return false;
    if (!packed.memory.empty()) {
      const bool written = zip_.data(packed.memory.data(), packed.memory.size());
      memoryInUse_.fetch_sub(packed.memory.size());
      return written;
    }
    for (std::uint64_t copied = 0; copied < packed.info.packedSize;) {
      const DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>(kCopyChunk, packed.info.packedSize - copied));
      DWORD got = 0;
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
  std::mutex mutex_;
  std::condition_variable changed_;
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
  std::vector<std::thread> threads_;
};

}  // namespace

FolderArchive::FolderArchive(const std::wstring& path, const std::wstring& shownPath, std::wstring spoolFolder)
    : shownPath_(shownPath), spoolFolder_(std::move(spoolFolder)) {
  file_.reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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
    try {
      walkFolder(folder, shown, folders, [&pipeline](WalkedFile&& file) { pipeline.add(std::move(file)); });
    } catch (...) {
      // Reported after the files found before it, which may hold an earlier failure.
      walkError = std::current_exception();
    }
    failure = pipeline.finish();
  }
  if (!failure.empty()) throw std::runtime_error(failure);
  if (walkError) std::rethrow_exception(walkError);
  file_.reset();
  removal_.keep();
}
