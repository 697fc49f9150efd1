// The bundled sample's launcher, installed as common\tarnel.exe beside the sample client: a
// window that says it was started, from where, and which launcher settings file it reads.
#include <windows.h>

#include <string>

namespace {

std::wstring ownPath() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return self;
}

std::wstring settingsPath() {
  wchar_t appData[1024] = {};
  const DWORD length = GetEnvironmentVariableW(L"APPDATA", appData, 1024);
  return length > 0 && length < 1024 ? std::wstring(appData) + L"\\Kelm\\Tarnel\\Tarnel.cfg" : L"(no APPDATA)";
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = windowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = L"KelmSampleLauncher";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowW(L"KelmSampleLauncher", L"Kelm Sample Launcher", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 640, 200, nullptr, nullptr, instance, nullptr);
  const std::wstring text = L"The Kelm sample client is installed.\n\nLauncher: " + ownPath() +
                            L"\nSettings: " + settingsPath() + L"\n\nClose this window to finish.";
  CreateWindowW(L"STATIC", text.c_str(), WS_CHILD | WS_VISIBLE, 16, 16, 600, 120, window, nullptr, instance, nullptr);
  ShowWindow(window, showCommand);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
