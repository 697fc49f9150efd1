#include <windows.h>

#include "builder_main.h"
#include "cmdline_parser.h"
#include "system_library.h"

int wmain() {
  restrictDllSearchToSystem();
  return runBuilder(CmdLineParser::splitCommandLine(GetCommandLineW()));
}
