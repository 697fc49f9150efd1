#include "threads.h"

#include "error_report.h"
#include "failure.h"
#include "text.h"

struct Thread::State {
  struct Body {
    std::function<void()> body;
    void operator()() noexcept { body(); }
  } body;
  UniqueHandle handle;
};

Thread::Thread(std::function<void()> body) : state_(new State{{std::move(body)}, {}}) {
  state_->handle = startThread(state_->body);
  if (!state_->handle) throw Failure("can't start a thread: " + toNarrow(systemReason(GetLastError())));
}

Thread::~Thread() { join(); }

Thread::Thread(Thread&&) noexcept = default;

void Thread::join() {
  if (state_ && state_->handle) WaitForSingleObject(state_->handle.get(), INFINITE);
  if (state_) state_->handle.reset();
}

void BackgroundTask::start(std::function<bool()> job) {
  wait();
  Lock lock(lock_);
  job_ = std::move(job);
  result_ = false;
  error_ = nullptr;
  thread_ = startThread(*this);
  if (!thread_) throw Failure("can't start a thread: " + toNarrow(systemReason(GetLastError())));
}

bool BackgroundTask::waitFor(DWORD milliseconds) {
  // A copy of the handle of its own, so that no other thread closes the one waited on.
  HANDLE own = nullptr;
  {
    Lock lock(lock_);
    if (!thread_) return true;
    if (!DuplicateHandle(GetCurrentProcess(), thread_.get(), GetCurrentProcess(), &own, SYNCHRONIZE, FALSE, 0)) {
      return WaitForSingleObject(thread_.get(), milliseconds) == WAIT_OBJECT_0;
    }
  }
  const UniqueHandle waited(own);
  return WaitForSingleObject(waited.get(), milliseconds) == WAIT_OBJECT_0;
}

bool BackgroundTask::result() {
  wait();
  if (error_) std::rethrow_exception(error_);
  return result_;
}

void BackgroundTask::operator()() noexcept {
  try {
    result_ = job_();
  } catch (...) {
    error_ = std::current_exception();
  }
}
