#include "window/app.h"

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "error_report.h"
#include "installer.h"
#include "resources/resource.h"
#include "window/installer_slot.h"
#include "window/progress_window.h"
#include "system_library.h"
#include "window/window_title.h"
#include "window/worker.h"

namespace {

struct WorkerStart {
  HWND window;
  InstallerSlot* slot;
};

DWORD WINAPI workerThread(void* parameter) {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(parameter));
  return static_cast<DWORD>(runInstaller(start->window, *start->slot,
                                         [](HWND window) { return std::make_shared<Installer>(window); }));
}

std::wstring ownTitle() {
  std::wstring path = firstArgument(GetCommandLineW());
  if (path.empty()) {
    // No command line at all: the program's file, as the platform's splitter would give it.
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length = 0;
    while ((length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()))) == buffer.size()) {
      buffer.resize(buffer.size() * 2);
    }
    path.assign(buffer.data(), length);
  }
  return windowTitleFromPath(path);
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
int run(HINSTANCE instance, int showCommand) {
  const std::wstring title = ownTitle();

  if (!ProgressWindow::registerClass(instance)) {
    showLastError(L"RegClass");
    return 0;
  }
  const auto setLayered = systemEntry<SetLayeredFn>(L"USER32.DLL", "SetLayeredWindowAttributes");
  InstallerSlot slot;
  ProgressWindow progress(instance, slot);
  auto start = std::make_unique<WorkerStart>(WorkerStart{nullptr, &slot});
  HWND window = progress.create(title);
  if (!window) {
    showLastError(L"InitInst");
    return 0;
  }
  applyWindowStyle(window, setLayered);
  ShowWindow(window, showCommand);
  UpdateWindow(window);

  start->window = window;
  DWORD workerId = 0;
  const UniqueHandle worker(CreateThread(nullptr, 0, workerThread, start.get(), 0, &workerId));
  if (worker) {
    start.release();  // the thread owns it now
  } else {
    showLastError(L"CreateThread");
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
  try {
    return run(instance, showCommand);
  } catch (const std::exception& e) {
    showErrorBox(nullptr, e.what());
  } catch (...) {
    showErrorBox(nullptr, "unexpected error");
  }
  return 0;
}
