#include "threads.h"

#include "error_report.h"
#include "failure.h"
#include "text.h"

Thread::Thread(std::function<void()> body) : body_(new Body{std::move(body)}) {
  handle_ = startThread(*body_);
  if (!handle_) throw Failure("can't start a thread: " + toNarrow(systemReason(GetLastError())));
}

void Thread::join() {
  if (handle_) WaitForSingleObject(handle_.get(), INFINITE);
  handle_.reset();
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
