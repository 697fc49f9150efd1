// GoogleTest 1.12 builds the notification its thread class waits on from std::mutex and
// std::condition_variable, which this toolchain's C++ library (the win32 thread model) does
// not have. This one is an event of the platform's; GoogleTest takes it in place of its own.
#pragma once
#include <windows.h>

namespace testing::internal {

class Notification {
 public:
  Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace testing::internal
