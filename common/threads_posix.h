#pragma once
// The builder's threads and locks outside Windows (included by threads.h, which adds Lock): the
// C++ library's own, under the names the builder uses on Windows.
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class CriticalSection {
 public:
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  friend class Condition;
  std::mutex mutex_;
};

class Condition {
 public:
  template <typename Predicate>
  void wait(CriticalSection& section, Predicate ready) {
    std::unique_lock<std::mutex> held(section.mutex_, std::adopt_lock);
    variable_.wait(held, ready);
    held.release();
  }
  void notifyOne() { variable_.notify_one(); }
  void notifyAll() { variable_.notify_all(); }

 private:
  std::condition_variable variable_;
};

inline unsigned processorCount() {
  const unsigned count = std::thread::hardware_concurrency();
  return count != 0 ? count : 1;
}
