#pragma once
// Threads and locks taken straight from the platform. The C++ library's own would bring the
// POSIX thread layer, its timed waits and their error types into the setup program, which is
// kept small; these work from Windows XP on. Outside Windows the builder's part of them (locks,
// conditions, threads) stands on the C++ library's, which is the system's own there.
#ifndef _WIN32
#include "threads_posix.h"
#else
#include <windows.h>

#include <exception>
#include <functional>
#include <memory>

#include "handles.h"

// A critical section for the life of the object.
class CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&section_); }
  ~CriticalSection() { DeleteCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void lock() { EnterCriticalSection(&section_); }
  void unlock() { LeaveCriticalSection(&section_); }

 private:
  friend class Condition;
  CRITICAL_SECTION section_;
};

// A condition that threads wait for under a critical section (Windows Vista on: the setup
// program, which starts on XP, does not use it).
class Condition {
 public:
  Condition() { InitializeConditionVariable(&variable_); }
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  // With `section` held, waits until `ready()` holds; `section` is held again on return.
  template <typename Predicate>
  void wait(CriticalSection& section, Predicate ready) {
    while (!ready()) SleepConditionVariableCS(&variable_, &section.section_, INFINITE);
  }
  void notifyOne() { WakeConditionVariable(&variable_); }
  void notifyAll() { WakeAllConditionVariable(&variable_); }

 private:
  CONDITION_VARIABLE variable_;
};

// The processors this process may run on.
inline unsigned processorCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors;
}

namespace threads_detail {
template <typename Body>
DWORD WINAPI runBody(void* body) {
  (*static_cast<Body*>(body))();
  return 0;
}
}  // namespace threads_detail

// Starts a thread that calls `body()`. The callable stays the caller's and must outlive the
// thread: wait for the returned handle before it goes. No exception may leave `body`. An
// invalid handle when the system could not start a thread.
template <typename Body>
[[nodiscard]] UniqueHandle startThread(Body& body) {
  return UniqueHandle(CreateThread(nullptr, 0, &threads_detail::runBody<Body>, &body, 0, nullptr));
}

// A job run once on a thread of its own, whose result, or the error it raised, the starting
// thread collects. Any thread may wait for it to end.
class BackgroundTask {
 public:
  BackgroundTask() = default;
  // Waits for the job.
  ~BackgroundTask() { wait(); }
  BackgroundTask(const BackgroundTask&) = delete;
  BackgroundTask& operator=(const BackgroundTask&) = delete;

  // Starts `job` on a new thread, after the job started before has ended. Raises Failure
  // "can't start a thread: <the system's reason>" when the system starts none.
  void start(std::function<bool()> job);
  // Waits at most `milliseconds` for the job to end: true once it has ended, or when none was
  // started. Safe from any thread.
  [[nodiscard]] bool waitFor(DWORD milliseconds);
  void wait() { (void)waitFor(INFINITE); }
  // Waits for the job and returns its result, or raises its error again.
  bool result();

 private:
  friend DWORD WINAPI threads_detail::runBody<BackgroundTask>(void*);
  void operator()() noexcept;

  CriticalSection lock_;  // guards thread_ between the starting thread and those that wait
  UniqueHandle thread_;
  std::function<bool()> job_;
  bool result_ = false;
  std::exception_ptr error_;
};
#endif

// Holds a critical section from construction to destruction.
class Lock {
 public:
  explicit Lock(CriticalSection& section) : section_(section) { section_.lock(); }
  ~Lock() { section_.unlock(); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  CriticalSection& section_;
};

// A thread that runs a callable of its own and is waited for when the object goes. Raises
// Failure "can't start a thread: <the system's reason>" when the system starts none. No
// exception may leave the callable.
class Thread {
 public:
  explicit Thread(std::function<void()> body);
  ~Thread();
  Thread(Thread&&) noexcept;
  Thread& operator=(Thread&&) = delete;
  Thread(const Thread&) = delete;

  void join();

 private:
  struct State;  // the platform's thread
  std::unique_ptr<State> state_;
};
