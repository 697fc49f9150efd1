#include <windows.h>

#include "system_library.h"
#include "window/app.h"

// The DLL search is restricted before anything beyond the kernel is bound: the shell, the
// installer and trust services and the libraries they bring are then taken from the system
// folder, never from the download folder the program was started from.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  restrictDllSearchToSystem();
  return runPondrel(instance, showCommand);
}
