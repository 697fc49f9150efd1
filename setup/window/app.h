#pragma once
#include <windows.h>

// The setup program: restricts the DLL search, opens the progress window titled after the
// program's own file name, runs the worker and the message loop, and returns once the worker has
// finished with its installer. Returns 0, or 102 after an archive that could not be read.
int runPondrel(HINSTANCE instance, int showCommand);
