// The last step of a successful run: the installed launcher starts, and the run goes on once it
// is ready for input or after 15 seconds, whichever comes first; it never waits for the launcher
// to end.
#include "postinstall/post_install.h"

#include <windows.h>

#include <vector>

#include "file_search.h"
#include "handles.h"
#include "run_log.h"

namespace {
constexpr DWORD kReadyLimitMilliseconds = 15000;
constexpr DWORD kReadySlice = 100;
}  // namespace

bool startLauncher(const std::wstring& installLocation, const std::atomic<bool>& cancel) {
  if (installLocation.empty()) return false;
  const std::wstring launcher = installLocation + L"..\\common\\tarnel.exe";
  if (!FileSearch().find(launcher)) {
    run_log::line("launcher: %s not found", launcher.c_str());
    return false;
  }

  // Started as a program by its path, as it stands: the shell would expand "%NAME%" in it and
  // show a box of its own when the start fails.
  const std::wstring quoted = L"\"" + launcher + L"\"";
  std::vector<wchar_t> commandLine(quoted.c_str(), quoted.c_str() + quoted.size() + 1);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(launcher.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started)) {
    run_log::line("launcher: %s did not start (error %lu)", launcher.c_str(), GetLastError());
    return false;
  }
  run_log::line("launcher: %s started, process %lu; waiting until it is ready", launcher.c_str(), started.dwProcessId);
  const UniqueHandle thread(started.hThread);
  const UniqueHandle process(started.hProcess);

  // Waited for in slices, so that a close request ends the wait at once. The elapsed time is
  // counted in unsigned 32-bit milliseconds, which stays right when the tick count wraps.
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= kReadyLimitMilliseconds || cancel) {
      run_log::line("launcher: %s", cancel ? L"wait ended by the close request" : L"not ready within 15 s");
      return false;
    }
    const DWORD slice = kReadyLimitMilliseconds - elapsed < kReadySlice ? kReadyLimitMilliseconds - elapsed : kReadySlice;
    const DWORD result = WaitForInputIdle(process.get(), slice);
    if (result == 0) {
      run_log::line("launcher: ready for input");
      return true;
    }
    if (result != WAIT_TIMEOUT) {
      run_log::line("launcher: ended or cannot be waited for");
      return false;
    }
  }
}
