#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "installation/signature.h"
#include "installer.h"
#include "payload/payload.h"
#include "window/progress_window.h"

namespace {
constexpr DWORD kPollMilliseconds = 300;
}

bool Installer::unpackPayload() {
  std::atomic<std::int32_t> percent{0};
  // Without its folders the copy would land wherever the bare name points.
  const std::wstring archive = archivePath();
  if (workDir.empty() || archive.empty()) throw std::runtime_error("can't create temporary zip file");
  extractArchiveFile(archive, archiveOffset, {}, &cancelRequested);
  if (cancelRequested) return false;

  // The signature checks that follow the unpacking need the trust service: it gets ready meanwhile.
  std::thread trustService;
  try {
    trustService = std::thread(prepareTrustService);
  } catch (const std::exception&) {
    // Without a thread for it, the first check makes it ready itself.
  }
  struct Joined {
    std::thread& thread;
    ~Joined() {
      if (thread.joinable()) thread.join();
    }
  } joined{trustService};

  const std::wstring destination = workDir;
  {
    std::lock_guard<std::mutex> lock(taskMutex_);
    unpackResult = std::async(std::launch::async, [this, &percent, archive, destination] {
                     return unpacker.unpack(archive, destination, [this, &percent](std::int32_t value) {
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
