// Loads a DLL by name the way the programs do, or the plain way, and prints the path of the
// module it got:   dll_probe protected|plain <dll-name>
#include <windows.h>

#include <cstdio>

#include "system_library.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const bool isProtected = wcscmp(argv[1], L"protected") == 0;
  if (isProtected) restrictDllSearchToSystem();
  HMODULE module = isProtected ? loadSystemLibrary(argv[2]) : LoadLibraryW(argv[2]);
  if (!module) return 1;
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(module, path, MAX_PATH);
  std::printf("%ls\n", path);
  return 0;
}
