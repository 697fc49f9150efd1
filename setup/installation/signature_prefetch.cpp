#include "installation/signature_prefetch.h"

#include "installation/held_files.h"
#include "text.h"

namespace {

// Whether a path as the unpacker names it (extended) and one as a gate names it (full) are the
// same file, letters compared as the file system compares this run's names: the part above the
// entry's name is the same string on both sides.
bool samePath(std::wstring_view extended, std::wstring_view full) {
  if (extended.substr(0, 8) == L"\\\\?\\UNC\\") {
    extended.remove_prefix(8);
    full.remove_prefix(full.substr(0, 2) == L"\\\\" ? 2 : 0);
  } else if (extended.substr(0, 4) == L"\\\\?\\") {
    extended.remove_prefix(4);
  }
  return equalsIgnoringCase(extended, full);
}

}  // namespace

SignaturePrefetch::SignaturePrefetch(std::function<bool(const std::wstring&)> wanted, HeldFiles& held,
                                     const std::atomic<bool>& cancel)
    : wanted_(std::move(wanted)),
      held_(held),
      cancel_(cancel),
      wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      finished_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

SignaturePrefetch::~SignaturePrefetch() { stop(); }

void SignaturePrefetch::stop() {
  stop_ = true;
  if (wake_) SetEvent(wake_.get());
  thread_.wait();
}

void SignaturePrefetch::start() {
  if (!wake_ || !finished_ || started_) return;
  try {
    thread_.start([this] {
      run();
      return true;
    });
    started_ = true;
  } catch (const std::exception&) {
    ended_ = true;  // no thread: every gate checks for itself
  }
}

void SignaturePrefetch::offer(const std::wstring& path) {
  if (!started_ || ended_ || stopping()) return;
  const size_t slash = path.find_last_of(L'\\');
  if (!wanted_(slash == std::wstring::npos ? path : path.substr(slash + 1))) return;
  {
    Lock lock(lock_);
    auto item = std::make_unique<Item>();
    item->path = path;
    items_.push_back(std::move(item));
  }
  SetEvent(wake_.get());
}

bool SignaturePrefetch::take(const std::wstring& path, HANDLE& file, DWORD& holdError, SignatureCheck& check) {
  for (;;) {
    {
      Lock lock(lock_);
      const Item* found = nullptr;
      for (const std::unique_ptr<Item>& item : items_) {
        if (samePath(item->path, path)) found = item.get();
      }
      if (!found) return false;
      if (found->done) {
        file = found->file;
        holdError = found->holdError;
        check = found->check;
        return true;
      }
      if (ended_) return false;  // dropped by a close request
    }
    WaitForSingleObject(finished_.get(), INFINITE);
  }
}

void SignaturePrefetch::run() noexcept {
  prepareTrustService();
  for (;;) {
    Item* item = nullptr;
    {
      Lock lock(lock_);
      if (!stopping() && next_ < items_.size()) item = items_[next_++].get();
    }
    if (stopping()) break;
    if (!item) {
      WaitForSingleObject(wake_.get(), INFINITE);
      continue;
    }
    // Held first and verified through the held handle, as a gate does it: what is checked is
    // what will be used.
    const HANDLE file = held_.hold(item->path);
    const DWORD holdError = file ? ERROR_SUCCESS : GetLastError();
    const SignatureCheck check = file ? checkSignature(item->path, file) : SignatureCheck{};
    {
      Lock lock(lock_);
      item->file = file;
      item->holdError = holdError;
      item->check = check;
      item->done = true;
    }
    SetEvent(finished_.get());
  }
  ended_ = true;
  SetEvent(finished_.get());
}
