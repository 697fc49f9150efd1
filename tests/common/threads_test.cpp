#include <gtest/gtest.h>

#include "failure.h"
#include "handles.h"
#include "threads.h"

namespace {

// A job's result and its error come back to the thread that collects them; other threads can
// wait for its end without taking them.
TEST(BackgroundTask, ResultErrorAndWaiting) {
  BackgroundTask task;
  EXPECT_TRUE(task.waitFor(0));  // nothing started

  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  task.start([&release] { return WaitForSingleObject(release.get(), 60000) == WAIT_OBJECT_0; });
  EXPECT_FALSE(task.waitFor(0));
  bool waited = false;
  auto waiter = [&task, &waited] { waited = task.waitFor(60000); };
  UniqueHandle other = startThread(waiter);
  SetEvent(release.get());
  EXPECT_EQ(WaitForSingleObject(other.get(), 60000), WAIT_OBJECT_0);
  EXPECT_TRUE(waited);
  EXPECT_TRUE(task.result());

  task.start([]() -> bool { throw Failure("in the job"); });
  try {
    (void)task.result();
    ADD_FAILURE() << "no error raised";
  } catch (const Failure& e) {
    EXPECT_STREQ(e.what(), "in the job");
  }
}

}  // namespace
