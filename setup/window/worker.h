#pragma once
#include <windows.h>

#include <functional>
#include <memory>

class Installer;
class InstallerSlot;

// Makes the Installer of a run; tests give their own.
using InstallerFactory = std::function<std::shared_ptr<Installer>(HWND window)>;

// The worker's whole sequence: build the installer, install, run the post-installation steps
// after a true result, report every error (in the log, and in a box owned by `window` unless the
// run is `quiet`), release the installer (which removes the working folder), log the end and
// post WM_CLOSE to the window. A quiet run answers every question No and starts no launcher.
// Returns the exit code the program is to end with: a quiet run's outcome (see exit_code);
// otherwise 0, or the code an error calls for (an archive that cannot be read, a full disk).
// Never throws. `window` may be null (a quiet run without a desktop): nothing is shown then.
int runInstaller(HWND window, InstallerSlot& slot, const InstallerFactory& makeInstaller, bool quiet = false);
