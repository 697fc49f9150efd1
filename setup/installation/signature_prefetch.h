#pragma once
// Signature checks made while the payload still unpacks. A file that a signature gate will ask
// about is held and verified on a thread of this object's own as soon as the unpacker has
// written it, while the rest unpacks; the gate then takes that check instead of making it
// again. The thread first gets the trust service ready, while the archive is copied out.
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "installation/signature.h"
#include "threads.h"

class HeldFiles;

class SignaturePrefetch {
 public:
  // `wanted` tells by its last name whether a written file is one the gates will check; `held`
  // holds the files checked. A close request (`cancel`) stops the checks not begun.
  SignaturePrefetch(std::function<bool(const std::wstring& name)> wanted, HeldFiles& held,
                    const std::atomic<bool>& cancel);
  // stop().
  ~SignaturePrefetch();
  SignaturePrefetch(const SignaturePrefetch&) = delete;
  SignaturePrefetch& operator=(const SignaturePrefetch&) = delete;

  // Starts the thread: it gets the trust service ready, then checks what is offered. Without a
  // thread (none to be had) nothing is offered, and the gates check for themselves.
  void start();
  // A file the unpacker has written completely (its full path in the extended-length form):
  // checked when it is wanted. Safe from any thread.
  void offer(const std::wstring& path);
  // The check of `path` (a full path, not extended), waiting for it when it was offered: the
  // handle that holds the file (null when it could not be held, its error in `holdError`) and
  // what the verification found. False when `path` was never offered or a close request
  // dropped it.
  [[nodiscard]] bool take(const std::wstring& path, HANDLE& file, DWORD& holdError, SignatureCheck& check);
  // Ends the thread once the check under way is done; the checks not begun are dropped, and no
  // more are made.
  void stop();

 private:
  struct Item {
    std::wstring path;  // as the unpacker names it
    bool done = false;
    HANDLE file = nullptr;
    DWORD holdError = ERROR_SUCCESS;
    SignatureCheck check;
  };

  void run() noexcept;
  [[nodiscard]] bool stopping() const { return stop_ || cancel_; }

  std::function<bool(const std::wstring&)> wanted_;
  HeldFiles& held_;
  const std::atomic<bool>& cancel_;
  CriticalSection lock_;  // guards items_ and next_
  std::vector<std::unique_ptr<Item>> items_;  // in the order offered; checked from next_ on
  size_t next_ = 0;
  UniqueHandle wake_;      // set when an item is offered or the object goes (auto-reset)
  UniqueHandle finished_;  // set when an item is done or the thread ends (auto-reset; one taker)
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  BackgroundTask thread_;
  bool started_ = false;
};
