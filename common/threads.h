#pragma once
// Threads and locks taken straight from the platform. The C++ library's own would bring the
// POSIX thread layer, its timed waits and their error types into the setup program, which is
// kept small; these work from Windows XP on.
#include <windows.h>

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
  CRITICAL_SECTION section_;
};

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
