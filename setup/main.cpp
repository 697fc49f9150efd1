#include <windows.h>

#include <cstdlib>

#include "window/app.h"

// The runtime's default handler for an exception that nobody catches prints the exception's type
// name, and links a whole C++ name demangler into the program for it (some 40 KB of a setup
// program that is downloaded with every distribution). The worker, the window procedure and the
// entry catch everything, so this handler has nothing to report: it ends the program at once.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
  return runPondrel(instance, showCommand);
}
