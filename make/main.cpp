#include <windows.h>

#include "builder_main.h"
#include "system_library.h"

int wmain() {
  restrictDllSearchToSystem();
  return runBuilder(GetCommandLineW());
}
