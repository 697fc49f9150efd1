#include <windows.h>

#include <cstdlib>

#include "system_library.h"
#include "window/app.h"

// The runtime's default handler for an exception that nobody catches prints the exception's type
// name, and links a whole C++ name demangler into the program for it (some 40 KB of a setup
// program that is downloaded with every distribution). The worker, the window procedure and the
// entry catch everything, so this handler has nothing to report: it ends the program at once.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

// The DLL search is restricted before anything beyond the kernel is bound: the shell, the
// installer and trust services and the libraries they bring are then taken from the system
// folder, never from the download folder the program was started from.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  restrictDllSearchToSystem();
  return runPondrel(instance, showCommand);
}
