// The last step of a successful run: the installed launcher starts, and the run goes on once it
// is ready for input or after 15 seconds, whichever comes first; it never waits for the launcher
// to end.
#include <windows.h>
#include <shellapi.h>

#include "handles.h"
#include "installation/file_search.h"
#include "installer.h"

namespace {
constexpr DWORD kReadyLimitMilliseconds = 15000;
constexpr DWORD kReadySlice = 100;
}  // namespace

bool Installer::startLauncher() {
  if (installLocation.empty() && !queryInstallLocation()) return false;
  const std::wstring launcher = installLocation + L"..\\common\\tarnel.exe";
  if (!FileSearch().find(launcher)) return false;

  SHELLEXECUTEINFOW request{};
  request.cbSize = sizeof(request);
  request.fMask = SEE_MASK_NOCLOSEPROCESS;
  request.hwnd = window;
  request.lpVerb = L"open";
  request.lpFile = launcher.c_str();
  request.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&request)) return false;
  const UniqueHandle process(request.hProcess);
  if (!process) return false;

  // Waited for in slices, so that a close request ends the wait at once. The elapsed time is
  // counted in unsigned 32-bit milliseconds, which stays right when the tick count wraps.
  const DWORD start = GetTickCount();
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= kReadyLimitMilliseconds || cancelRequested) return false;
    const DWORD slice = kReadyLimitMilliseconds - elapsed < kReadySlice ? kReadyLimitMilliseconds - elapsed : kReadySlice;
    const DWORD result = WaitForInputIdle(process.get(), slice);
    if (result == 0) return true;
    if (result != WAIT_TIMEOUT) return false;
  }
}
