// A DLL planted beside a program under the name of a system DLL, as a hostile download folder
// could hold it. It would report every file as validly signed. The programs must never load it.
// When it is loaded it creates the file that PONDREL_PLANTED_MARKER names, if that is set, so a
// test can tell that it ran.
#include <windows.h>

extern "C" __declspec(dllexport) LONG WINAPI WinVerifyTrust(HWND, GUID*, LPVOID) { return 0; }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t marker[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"PONDREL_PLANTED_MARKER", marker, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
  }
  return TRUE;
}
