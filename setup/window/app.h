#pragma once
#include <windows.h>

// The setup program: opens the progress window titled after the program's own file name, runs
// the worker and the message loop, and returns once the worker has finished with its installer.
// Returns 0, or 102 after an archive that could not be read. Raises nothing: an error on the
// way is shown in the error box, and 0 returned.
int runPondrel(HINSTANCE instance, int showCommand);
