// Keeps the Wine desktop process alive for a whole test run. Wine ends its desktop process a
// few seconds after the last program with a window ends; a program started while it is going
// down, and a window query made at the same moment, can hang. This program owns one hidden
// window and waits until the bench's wineserver goes away.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = DefWindowProcW;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"PondrelBenchKeepAlive";
  RegisterClassW(&windowClass);
  CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 1, 1, nullptr, nullptr, instance, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}
