// A stand-in for the installed client's launcher (installed as tarnel.exe by the tests'
// packages). Writes "launcher.txt" into PONDREL_MARKER_DIR with three UTF-8 lines: its command
// line, its current folder and its own path. Then it shows a window titled "Tarnel Test
// Launcher" and answers messages for PONDREL_LAUNCHER_LIFE milliseconds (default 3000), or
// until its window is closed, so that it becomes ready for input; with PONDREL_LAUNCHER_BUSY set it instead sleeps that long
// without a message loop and never becomes ready. "launcher-ended.txt" marks its end.
#include <windows.h>

#include <string>

#include "marker.h"

namespace {

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  writeMarker(L"launcher.txt", selfDescription());
  const std::wstring life = variable(L"PONDREL_LAUNCHER_LIFE");
  const DWORD lifetime = life.empty() ? 3000 : static_cast<DWORD>(_wtoi(life.c_str()));
  if (!variable(L"PONDREL_LAUNCHER_BUSY").empty()) {
    Sleep(lifetime);
    writeMarker(L"launcher-ended.txt", "");
    return 0;
  }
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = windowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"TarnelTestLauncher";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowW(L"TarnelTestLauncher", L"Tarnel Test Launcher", WS_OVERLAPPEDWINDOW, 100, 100, 400, 200,
                              nullptr, nullptr, instance, nullptr);
  ShowWindow(window, showCommand);
  // A thread timer: it ends the launcher even after its window was closed.
  SetTimer(nullptr, 0, lifetime, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_TIMER && message.hwnd == nullptr) break;
    DispatchMessageW(&message);
  }
  if (IsWindow(window)) DestroyWindow(window);
  writeMarker(L"launcher-ended.txt", "");
  return 0;
}
