#pragma once
#include <windows.h>

#include <functional>
#include <memory>

class Installer;
class InstallerSlot;

// Makes the Installer of a run; tests give their own.
using InstallerFactory = std::function<std::shared_ptr<Installer>(HWND window)>;

// The worker's whole sequence: build the installer, install, run the post-installation steps
// after a true result, report every error in a box owned by `window`, release the installer
// (which removes the working folder) and post WM_CLOSE to the window. Returns the exit code the
// program is to end with: 0, or the code an error calls for (an archive that cannot be read).
// Never throws.
int runInstaller(HWND window, InstallerSlot& slot, const InstallerFactory& makeInstaller);
