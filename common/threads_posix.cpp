#include <system_error>
#include <thread>

#include "failure.h"
#include "threads.h"

struct Thread::State {
  std::thread thread;
};

Thread::Thread(std::function<void()> body) : state_(new State) {
  try {
    state_->thread = std::thread(std::move(body));
  } catch (const std::system_error& e) {
    throw Failure(std::string("can't start a thread: ") + e.code().message());
  }
}

Thread::~Thread() { join(); }

Thread::Thread(Thread&&) noexcept = default;

void Thread::join() {
  if (state_ && state_->thread.joinable()) state_->thread.join();
}
