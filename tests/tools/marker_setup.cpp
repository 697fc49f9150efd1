// A stand-in setup file for tests. Writes "marker.txt" into the folder named by the environment
// variable PONDREL_MARKER_DIR with three UTF-8 lines: its command line, its current folder and
// its own path. With PONDREL_MARKER_HOLD set to a file path it then waits (up to two minutes)
// until that file exists, so a test can look at the unpacked tree while the setup "runs".
// Exits with PONDREL_MARKER_EXIT (default 0).
#include <windows.h>

#include <cstdlib>
#include <string>

#include "marker.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  writeMarker(L"marker.txt", selfDescription());
  const std::wstring hold = variable(L"PONDREL_MARKER_HOLD");
  for (int i = 0; !hold.empty() && i < 1200 && GetFileAttributesW(hold.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
    Sleep(100);
  }
  const std::wstring exitCode = variable(L"PONDREL_MARKER_EXIT");
  return exitCode.empty() ? 0 : _wtoi(exitCode.c_str());
}
