#include "window/worker.h"

#include <exception>

#include "installer.h"
#include "payload/payload.h"
#include "payload/zip_unpackager.h"
#include "window/installer_slot.h"
#include "window/progress_window.h"
#include "window/run_window.h"

namespace {

// Shows an error text (8-bit, ANSI code page) in the error box: caption "Error", error icon, OK.
// After the user closed the window nothing more is shown: the run is being abandoned.
void report(HWND window, const InstallerSlot& slot, const char* message) {
  if (!slot.closed()) showErrorBox(window, message);
}

void install(Installer& installer) {
  if (!installer.runInstallation()) return;
  if (installer.cancelRequested) return;
  installer.installCertificate();
  if (installer.cancelRequested) return;
  installer.startLauncher();
}

}  // namespace

int runInstaller(HWND window, InstallerSlot& slot, const InstallerFactory& makeInstaller) {
  int exitCode = 0;
  WindowProgress progress(window);
  WindowQuestions questions(window);
  try {
    std::shared_ptr<Installer> installer = makeInstaller(window);
    installer->progressSink = &progress;
    installer->installationWindow = &questions;
    if (slot.publish(installer)) {
      try {
        install(*installer);
      } catch (const NoRoomError& e) {
        // Nothing was written; the text is the user's language's.
        if (!slot.closed()) showErrorBox(window, e.text().c_str());
        exitCode = kNoRoomExitCode;
      } catch (const ZipUnpackagerException& e) {
        // Reported like every other error; the exit code it calls for comes once the working
        // folder is gone.
        report(window, slot, e.what());
        exitCode = e.exitCode();
      } catch (const std::exception& e) {
        report(window, slot, e.what());
      } catch (...) {
        report(window, slot, "unexpected error");
      }
      slot.clear();
    }
    installer.reset();
  } catch (const std::exception& e) {
    report(window, slot, e.what());
  } catch (...) {
    report(window, slot, "unexpected error");
  }
  PostMessageW(window, WM_CLOSE, 0, 0);
  return exitCode;
}
