// A DLL planted beside a program under the name of a system DLL, as a hostile download folder
// could hold it. It would report every file as validly signed. The programs must never load it.
#include <windows.h>

extern "C" __declspec(dllexport) LONG WINAPI WinVerifyTrust(HWND, GUID*, LPVOID) { return 0; }
