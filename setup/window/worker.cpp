#include "window/worker.h"

#include <exception>

#include "installer.h"
#include "payload/payload.h"
#include "payload/zip_unpackager.h"
#include "run_log.h"
#include "text.h"
#include "window/installer_slot.h"
#include "window/progress_window.h"
#include "window/run_window.h"

namespace {

// Every error goes to the log with the outcome it decides; the box shows it unless the run is
// quiet, or the user closed the window and is abandoning the run.
void report(HWND window, const InstallerSlot& slot, bool quiet, const wchar_t* text, std::uint32_t outcome) {
  run_log::setOutcome(outcome);
  run_log::line(quiet ? "error (quiet, not shown): %s" : "error box: %s", text);
  if (!quiet && !slot.closed()) showErrorBox(window, text);
}

void report(HWND window, const InstallerSlot& slot, bool quiet, const char* message, std::uint32_t outcome) {
  std::wstring text;
  try {
    text = toWide(message);
  } catch (...) {
  }
  report(window, slot, quiet, text.empty() ? L"unexpected error" : text.c_str(), outcome);
}

void install(Installer& installer, bool quiet) {
  if (!installer.runInstallation()) return;
  if (installer.cancelRequested) return;
  installer.installCertificate();
  if (installer.cancelRequested) return;
  if (quiet) {
    run_log::line("launcher: not started in quiet mode");
    return;
  }
  installer.startLauncher();
}

}  // namespace

int runInstaller(HWND window, InstallerSlot& slot, const InstallerFactory& makeInstaller, bool quiet) {
  int exitCode = 0;
  WindowProgress progress(window);
  WindowQuestions questions(window);
  QuietQuestions noQuestions;
  try {
    std::shared_ptr<Installer> installer = makeInstaller(window);
    installer->progressSink = &progress;
    installer->installationWindow = quiet ? static_cast<InstallationWindow*>(&noQuestions) : &questions;
    installer->quiet = quiet;
    if (slot.publish(installer)) {
      try {
        install(*installer, quiet);
      } catch (const NoRoomError& e) {
        // Nothing was written; the text is the user's language's.
        report(window, slot, quiet, e.text().c_str(), exit_code::diskFull);
        exitCode = kNoRoomExitCode;
      } catch (const ZipUnpackagerException& e) {
        // Reported like every other error; the exit code it calls for comes once the working
        // folder is gone.
        report(window, slot, quiet, e.what(), e.exitCode() ? e.exitCode() : exit_code::otherError);
        exitCode = e.exitCode();
      } catch (const std::exception& e) {
        report(window, slot, quiet, e.what(), exit_code::otherError);
      } catch (...) {
        report(window, slot, quiet, "unexpected error", exit_code::otherError);
      }
      slot.clear();
    } else {
      run_log::line("close request: stopping before the run started");
      run_log::setOutcome(exit_code::closed);
    }
    installer.reset();
    run_log::line("working folders removed");
  } catch (const std::exception& e) {
    report(window, slot, quiet, e.what(), exit_code::otherError);
  } catch (...) {
    report(window, slot, quiet, "unexpected error", exit_code::otherError);
  }
  const std::uint32_t outcome = run_log::outcome();
  if (quiet) exitCode = static_cast<int>(outcome);
  const std::uint32_t ms = run_log::elapsedMilliseconds();
  run_log::line("end: outcome %u (%s), exit code %d, %u.%03u s", outcome, exit_code::meaning(outcome), exitCode,
                ms / 1000, ms % 1000);
  if (window) PostMessageW(window, WM_CLOSE, 0, 0);
  return exitCode;
}
