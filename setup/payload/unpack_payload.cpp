#include "payload/unpack_payload.h"

#include <algorithm>

#include "failure.h"
#include "payload/payload.h"
#include "run_log.h"

namespace {

constexpr DWORD kPollMilliseconds = 300;

// Ends the copy and waits for the task that reads it, on every way out: the task may wait for
// bytes that the copy would bring, and it refers to the copy and to what the caller holds.
class TaskOverCopy {
 public:
  TaskOverCopy(ArchiveCopy& copy, BackgroundTask& task) : copy_(copy), task_(task) {}
  ~TaskOverCopy() {
    copy_.end();
    task_.wait();
  }
  TaskOverCopy(const TaskOverCopy&) = delete;
  TaskOverCopy& operator=(const TaskOverCopy&) = delete;

 private:
  ArchiveCopy& copy_;
  BackgroundTask& task_;
};

}  // namespace

bool unpackPayloadArchive(const PayloadUnpacking& job, ZipUnpackager& unpacker, BackgroundTask& task,
                          const std::atomic<bool>& cancel, ProgressSink* sink) {
  // Without its folders the copy would land wherever the bare name points.
  if (job.destination.empty() || job.archivePath.empty()) throw Failure("can't create temporary zip file");
  ArchiveCopy copy(job.archivePath, job.archiveOffset);
  // A copy that fails is left for the unpacker to report as damaged.
  (void)copy.copyDirectory(&cancel);
  if (cancel) return false;
  const auto copied = [&copy] { run_log::line("archive copied: %I64u bytes", copy.size()); };
  if (copy.complete()) copied();

  std::atomic<std::int32_t> percent{0};
  task.start([&unpacker, &percent, &cancel, &copy, job] {
    return unpacker.unpack(
        job.archivePath, job.destination,
        [&percent, &cancel](std::int32_t value) {
          percent = value;
          return cancel.load();
        },
        0, job.written, &copy);
  });
  {
    const TaskOverCopy reading(copy, task);
    // The rest is copied while the task unpacks what is already there.
    if (!copy.complete() && copy.copyRest(&cancel)) copied();

    // One message per period, however often the task reports. The wait is the period itself,
    // so a task that ends within it sends nothing (a small archive leaves the line at 0 %) and
    // the worker goes on as soon as the task ends.
    while (!task.waitFor(kPollMilliseconds)) {
      if (sink) sink->progress(std::min<std::int32_t>(percent.load(), 100));
    }
  }
  // A close request that stopped the copy leaves the unpacker short of data: it stopped, it did
  // not fail.
  try {
    return task.result();
  } catch (...) {
    if (cancel) return false;
    throw;
  }
}
