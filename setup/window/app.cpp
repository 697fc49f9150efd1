#include "window/app.h"

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "error_report.h"
#include "installer.h"
#include "os_version.h"
#include "paths.h"
#include "payload/payload.h"
#include "payload/work_folder.h"
#include "postinstall/elevation.h"
#include "resources/resource.h"
#include "run_log.h"
#include "window/installer_slot.h"
#include "window/options.h"
#include "window/progress_window.h"
#include "system_library.h"
#include "window/window_title.h"
#include "window/worker.h"

namespace {

struct WorkerStart {
  HWND window;
  InstallerSlot* slot;
  bool quiet;
};

int work(HWND window, InstallerSlot& slot, bool quiet) {
  return runInstaller(window, slot, [](HWND owner) { return std::make_shared<Installer>(owner); }, quiet);
}

DWORD WINAPI workerThread(void* parameter) {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(parameter));
  return static_cast<DWORD>(work(start->window, *start->slot, start->quiet));
}

// The program's file version from its own version resource; zero when it has none.
VS_FIXEDFILEINFO ownVersion() {
  VS_FIXEDFILEINFO info{};
  HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
  const auto* data = found ? static_cast<const BYTE*>(LockResource(LoadResource(nullptr, found))) : nullptr;
  const DWORD size = found ? SizeofResource(nullptr, found) : 0;
  for (DWORD at = 0; data && at + sizeof(info) <= size; at += 4) {
    memcpy(&info, data + at, sizeof(info));
    if (info.dwSignature == VS_FFI_SIGNATURE) return info;
  }
  return VS_FIXEDFILEINFO{};
}

const wchar_t* elevationName(ElevationType type) {
  switch (type) {
    case ElevationType::standard: return L"standard";
    case ElevationType::full: return L"full";
    case ElevationType::limited: return L"limited";
    case ElevationType::undetermined: break;
  }
  return L"undetermined";
}

// Opens the run's log and writes what the run starts from: the program, the options, the system.
void startLog(const std::wstring& title, const Options& options, const std::wstring& requestedLog) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  if (!run_log::open(title, requestedLog, userTempFolder(), now)) return;
  const std::wstring path = ownProgramPath();
  WIN32_FILE_ATTRIBUTE_DATA file{};
  GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &file);
  const VS_FIXEDFILEINFO version = ownVersion();
  run_log::line("program: %s, version %u.%u.%u.%u, %I64u bytes", path.c_str(), HIWORD(version.dwFileVersionMS),
                LOWORD(version.dwFileVersionMS), HIWORD(version.dwFileVersionLS), LOWORD(version.dwFileVersionLS),
                (static_cast<unsigned long long>(file.nFileSizeHigh) << 32) | file.nFileSizeLow);
  run_log::line("command line: %s", GetCommandLineW());
  if (options.log && options.logPath.empty()) run_log::line("option /log: no path given, logging to the temporary folder");
  for (const std::wstring& ignored : options.ignored) run_log::line("option ignored: %s", ignored.c_str());
  run_log::line("mode: %s", options.quiet ? L"quiet" : L"interactive");
  run_log::line("system: Windows %s, user language %04X, interface language %04X, ANSI code page %u, elevation %s",
                osVersionText().c_str(), GetUserDefaultLangID(), GetUserDefaultUILanguage(), GetACP(),
                elevationName(queryElevationType()));
  run_log::line("log: %s", run_log::path().c_str());
}

// The box of /?: the options in the user's language.
void showOptions(const std::wstring& title) {
  wchar_t text[600] = {};
  LoadStringW(GetModuleHandleW(nullptr), IDS_OPTIONS, text, 600);
  MessageBoxW(nullptr, text, title.c_str(), MB_OK | MB_ICONINFORMATION);
}

// A failed start-up step: its box; a quiet run goes on without the window.
void startFailed(const wchar_t* name, bool quiet) {
  const DWORD code = GetLastError();
  run_log::line(quiet ? "no window, the quiet run goes on without it: %s" : "error box: %s",
                lastErrorBoxText(name, static_cast<long>(code), systemReason(code)).c_str());
  SetLastError(code);
  if (!quiet) showLastError(name);
}

using SetLayeredFn = decltype(&SetLayeredWindowAttributes);

// Applies the look of the progress window: the alpha applies only to layered windows and the
// topmost bit only through SetWindowPos, so the window stays opaque in the normal stacking
// order, which is how the product has always looked.
void applyWindowStyle(HWND window, SetLayeredFn setLayered) {
  if (setLayered) setLayered(window, 0, 50, LWA_ALPHA);
  SetWindowLongW(window, GWL_EXSTYLE, GetWindowLongW(window, GWL_EXSTYLE) | WS_EX_TOPMOST);
}

// Answers a box of the worker's own (the error box, or the signature question captioned with
// the program's name) as No, or OK where it has no No: once the window is gone, nobody is to be
// asked or told anything more. Boxes of the installer service are left to the user.
BOOL CALLBACK dismissBox(HWND box, LPARAM appName) {
  wchar_t kind[16] = {}, caption[64] = {};
  GetClassNameW(box, kind, 16);
  GetWindowTextW(box, caption, 64);
  if (wcscmp(kind, L"#32770") != 0 ||
      (wcscmp(caption, L"Error") != 0 && wcscmp(caption, reinterpret_cast<const wchar_t*>(appName)) != 0)) {
    return TRUE;
  }
  for (const int button : {IDNO, IDOK}) {
    if (HWND control = GetDlgItem(box, button)) {
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(control));
      break;
    }
  }
  return TRUE;
}

// Lets the worker finish with the installer (its removal of the working folder included) while
// still answering messages sent to this thread, so a worker blocked in SendMessageW goes on.
// A box the worker shows, or is about to show, when the window was closed is answered, so
// that the worker goes on to its end at once.
void waitForWorker(HANDLE worker, DWORD workerId) {
  wchar_t appName[64] = {};
  LoadStringW(GetModuleHandleW(nullptr), IDS_APP_NAME, appName, 64);
  for (;;) {
    EnumThreadWindows(workerId, dismissBox, reinterpret_cast<LPARAM>(appName));
    const DWORD result = MsgWaitForMultipleObjects(1, &worker, FALSE, 100, QS_ALLINPUT);
    if (result == WAIT_OBJECT_0 || result == WAIT_FAILED) return;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

// Everything that can raise happens before the window exists, so that an error never leaves a
// window behind whose state is gone.
int run(HINSTANCE instance, int showCommand, const std::vector<std::wstring>& arguments, const Options& options) {
  // No command line at all: the program's file, as the platform's splitter would give it.
  const std::wstring title = windowTitleFromPath(arguments[0].empty() ? ownProgramPath() : arguments[0]);
  if (options.help) {
    showOptions(title);
    return 0;
  }
  // Relative to the folder the program was started in, which the run changes later.
  startLog(title, options, options.logPath.empty() ? std::wstring() : fullPath(options.logPath));

  InstallerSlot slot;
  // A quiet run without a desktop to make windows on runs without its window.
  if (!ProgressWindow::registerClass(instance)) {
    startFailed(L"RegClass", options.quiet);
    return options.quiet ? work(nullptr, slot, true) : 0;
  }
  const auto setLayered = systemEntry<SetLayeredFn>(L"USER32.DLL", "SetLayeredWindowAttributes");
  ProgressWindow progress(instance, slot);
  auto start = std::make_unique<WorkerStart>(WorkerStart{nullptr, &slot, options.quiet});
  HWND window = progress.create(title);
  if (!window) {
    startFailed(L"InitInst", options.quiet);
    return options.quiet ? work(nullptr, slot, true) : 0;
  }
  // A quiet run's window is never shown; it is there for the close requests of the session's
  // end and of task managers.
  if (!options.quiet) {
    applyWindowStyle(window, setLayered);
    ShowWindow(window, showCommand);
    UpdateWindow(window);
  }

  start->window = window;
  DWORD workerId = 0;
  const UniqueHandle worker(CreateThread(nullptr, 0, workerThread, start.get(), 0, &workerId));
  if (worker) {
    start.release();  // the thread owns it now
  } else {
    startFailed(L"CreateThread", options.quiet);
    DestroyWindow(window);
  }

  MSG message;
  int exitCode = 0;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (message.message == WM_QUIT) exitCode = static_cast<int>(message.wParam);
  if (worker) {
    waitForWorker(worker.get(), workerId);
    DWORD workerCode = 0;
    if (GetExitCodeThread(worker.get(), &workerCode) && workerCode != 0) exitCode = static_cast<int>(workerCode);
  }
  return exitCode;
}

}  // namespace

int runPondrel(HINSTANCE instance, int showCommand) {
  int exitCode = 0;
  bool quiet = false;
  try {
    const std::vector<std::wstring> arguments = splitArguments(GetCommandLineW());
    const Options options = parseOptions(arguments);
    quiet = options.quiet;
    exitCode = run(instance, showCommand, arguments, options);
  } catch (const std::exception& e) {
    run_log::line("error: %hs", e.what());
    if (!quiet) showErrorBox(nullptr, e.what());
    if (quiet) exitCode = static_cast<int>(exit_code::otherError);
  } catch (...) {
    if (!quiet) showErrorBox(nullptr, "unexpected error");
    if (quiet) exitCode = static_cast<int>(exit_code::otherError);
  }
  run_log::close();
  return exitCode;
}
