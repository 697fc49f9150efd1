#include <algorithm>
#include <atomic>

#include "failure.h"
#include "installation/signature.h"
#include "installer.h"
#include "os_version.h"
#include "payload/payload.h"
#include "window/progress_window.h"

namespace {
constexpr DWORD kPollMilliseconds = 300;
}

bool Installer::unpackPayload() {
  std::atomic<std::int32_t> percent{0};
  // Without its folders the copy would land wherever the bare name points.
  const std::wstring archive = archivePath();
  if (workDir.empty() || archive.empty()) throw Failure("can't create temporary zip file");
  extractArchiveFile(archive, archiveOffset, {}, &cancelRequested);
  if (cancelRequested) return false;

  const std::wstring destination = workDir;
  unpackTask.start([this, &percent, archive, destination] {
    return unpacker.unpack(archive, destination, [this, &percent](std::int32_t value) {
      percent = value;
      return cancelRequested.load();
    });
  });

  // The signature checks that follow the unpacking need the trust service: it gets ready while the
  // task unpacks (taking less than the first period, before which no progress is shown anyway).
  // A distribution is checked on Windows 7 and later only.
  if (!noSetupFileName || osVersion() >= os_release::windows7) prepareTrustService();

  // One message per period, however often the task reports. The wait is the period itself, so
  // a task that ends within it sends nothing (a small archive leaves the line at 0 %) and the
  // worker goes on as soon as the task ends.
  while (!unpackTask.waitFor(kPollMilliseconds)) {
    SendMessageW(window, WM_PROGRESS, 0, std::min<std::int32_t>(percent.load(), 100));
  }
  return unpackTask.result();
}
