#include "window/app.h"

#include <shellapi.h>

#include <memory>
#include <string>

#include "error_report.h"
#include "installer.h"
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
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!arguments) return {};
  std::wstring title = count > 0 ? windowTitleFromPath(arguments[0]) : std::wstring();
  LocalFree(arguments);
  return title;
}

// Applies the look of the progress window: the alpha applies only to layered windows and the
// topmost bit only through SetWindowPos, so the window stays opaque in the normal stacking
// order, which is how the product has always looked.
void applyWindowStyle(HWND window) {
  using SetLayeredFn = BOOL(WINAPI*)(HWND, COLORREF, BYTE, DWORD);
  static HMODULE user32 = loadSystemLibrary(L"USER32.DLL");
  auto setLayered = user32 ? reinterpret_cast<SetLayeredFn>(
                                 reinterpret_cast<void*>(GetProcAddress(user32, "SetLayeredWindowAttributes")))
                           : nullptr;
  if (setLayered) setLayered(window, 0, 50, LWA_ALPHA);
  SetWindowLongW(window, GWL_EXSTYLE, GetWindowLongW(window, GWL_EXSTYLE) | WS_EX_TOPMOST);
}

// Lets the worker finish with the installer (its removal of the working folder included) while
// still answering messages sent to this thread, so a worker blocked in SendMessageW goes on.
void waitForWorker(HANDLE worker) {
  for (;;) {
    const DWORD result = MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT);
    if (result != WAIT_OBJECT_0 + 1) return;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

}  // namespace

int runPondrel(HINSTANCE instance, int showCommand) {
  restrictDllSearchToSystem();
  const std::wstring title = ownTitle();

  if (!ProgressWindow::registerClass(instance)) {
    showLastError(L"RegClass");
    return 0;
  }
  InstallerSlot slot;
  ProgressWindow progress(instance, slot);
  HWND window = progress.create(title);
  if (!window) {
    showLastError(L"InitInst");
    return 0;
  }
  applyWindowStyle(window);
  ShowWindow(window, showCommand);
  UpdateWindow(window);

  auto start = std::make_unique<WorkerStart>(WorkerStart{window, &slot});
  HANDLE worker = CreateThread(nullptr, 0, workerThread, start.get(), 0, nullptr);
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
    waitForWorker(worker);
    DWORD workerCode = 0;
    if (GetExitCodeThread(worker, &workerCode) && workerCode != 0) exitCode = static_cast<int>(workerCode);
    CloseHandle(worker);
  }
  return exitCode;
}
