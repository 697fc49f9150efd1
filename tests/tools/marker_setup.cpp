// A stand-in setup file for tests. Writes "marker.txt" into the folder named by the environment
// variable PONDREL_MARKER_DIR with three UTF-8 lines: its command line, its current folder and
// its own path. With PONDREL_MARKER_HOLD set to a file path it then waits (up to two minutes)
// until that file exists, so a test can look at the unpacked tree while the setup "runs".
// Exits with PONDREL_MARKER_EXIT (default 0).
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::wstring variable(const wchar_t* name) {
  wchar_t value[32768];
  const DWORD length = GetEnvironmentVariableW(name, value, 32768);
  return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::wstring folder = variable(L"PONDREL_MARKER_DIR");
  wchar_t current[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, current);
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::string text = utf8(GetCommandLineW()) + "\n" + utf8(current) + "\n" + utf8(self) + "\n";
  if (!folder.empty()) {
    const std::wstring partial = folder + L"\\marker.part";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
      CloseHandle(file);
      // Appears whole or not at all for a test that polls for it.
      MoveFileExW(partial.c_str(), (folder + L"\\marker.txt").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
  }
  const std::wstring hold = variable(L"PONDREL_MARKER_HOLD");
  for (int i = 0; !hold.empty() && i < 1200 && GetFileAttributesW(hold.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
    Sleep(100);
  }
  const std::wstring exitCode = variable(L"PONDREL_MARKER_EXIT");
  return exitCode.empty() ? 0 : _wtoi(exitCode.c_str());
}
