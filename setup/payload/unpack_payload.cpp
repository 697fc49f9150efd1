#include "payload/unpack_payload.h"

#include <algorithm>

#include "failure.h"
#include "payload/payload.h"
#include "run_log.h"

namespace {
constexpr DWORD kPollMilliseconds = 300;
}

bool unpackPayloadArchive(const PayloadUnpacking& job, ZipUnpackager& unpacker, BackgroundTask& task,
                          const std::atomic<bool>& cancel, ProgressSink* sink) {
  // Without its folders the copy would land wherever the bare name points.
  if (job.destination.empty() || job.archivePath.empty()) throw Failure("can't create temporary zip file");
  const std::uint32_t size = extractArchiveFile(job.archivePath, job.archiveOffset, {}, &cancel);
  if (cancel) return false;
  run_log::line("archive copied: %u bytes", size);

  std::atomic<std::int32_t> percent{0};
  task.start([&unpacker, &percent, &cancel, job] {
    return unpacker.unpack(
        job.archivePath, job.destination,
        [&percent, &cancel](std::int32_t value) {
          percent = value;
          return cancel.load();
        },
        0, job.written);
  });

  // One message per period, however often the task reports. The wait is the period itself, so
  // a task that ends within it sends nothing (a small archive leaves the line at 0 %) and the
  // worker goes on as soon as the task ends.
  while (!task.waitFor(kPollMilliseconds)) {
    if (sink) sink->progress(std::min<std::int32_t>(percent.load(), 100));
  }
  return task.result();
}
