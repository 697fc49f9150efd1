#include <algorithm>
#include <atomic>
#include <stdexcept>

#include "installer.h"
#include "payload/payload.h"
#include "window/progress_window.h"
#include "text.h"

namespace {
constexpr DWORD kPollMilliseconds = 300;
}

bool Installer::unpackPayload() {
  std::atomic<std::int32_t> percent{0};
  // Without a working folder the copy would land wherever the bare name points.
  if (workDir.empty()) throw std::runtime_error("can't create temporary zip file");
  const std::wstring archivePath = workDir + L"\\" + archiveFileName;
  extractArchiveFile(archivePath, archiveOffset, {}, &cancelRequested);
  if (cancelRequested) return false;

  const std::string narrowArchive = toNarrow(archivePath);
  const std::string narrowDestination = toNarrow(workDir);
  {
    std::lock_guard<std::mutex> lock(taskMutex_);
    unpackResult = std::async(std::launch::async, [this, &percent, narrowArchive, narrowDestination] {
                     return unpacker.unpack(narrowArchive, narrowDestination, [this, &percent](std::int32_t value) {
                       percent = value;
                       return cancelRequested.load();
                     });
                   }).share();
  }

  // One message per period, however often the task reports. The wait is the period itself, so
  // a task that ends within it sends nothing (a small archive leaves the line at 0 %) and the
  // worker goes on as soon as the task ends.
  while (unpackResult.wait_for(std::chrono::milliseconds(kPollMilliseconds)) != std::future_status::ready) {
    SendMessageW(window, WM_PROGRESS, 0, std::min<std::int32_t>(percent.load(), 100));
  }
  return unpackResult.get();
}
