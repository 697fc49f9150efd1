#pragma once
// The state of one setup run and the coordinator of its steps. Each operation hands the fields
// it needs to one function of a subsystem (payload/, installation/, config/, postinstall/) and
// keeps what that function found; none of those folders knows this class or the window. The
// worker thread builds it, runs the installation on it and destroys it, which removes the
// working folder; the window's close handler may ask it to stop.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "config/launcher_config.h"
#include "installation/distribution.h"
#include "installation/held_files.h"
#include "installation/run_control.h"
#include "installation/signature_gate.h"
#include "installation/signature_prefetch.h"
#include "payload/unpack_payload.h"
#include "payload/work_folder.h"
#include "payload/zip_unpackager.h"
#include "postinstall/elevation.h"
#include "threads.h"

class Installer {
 public:
  // Reads the payload resources from `resourceModule` (null: the running program), starts the
  // removal of earlier runs' leftovers (removeLeftoverWorkFolders) on a thread of its own, makes
  // the working folder and the archive copy's folder (WorkFolder, in `tempParent`, or the user's
  // temporary folder when empty) and reads the Program Files folder. Raises Failure with the payload
  // errors ("can't find local res", "ZIP-archive not present", ...) before any folder is made.
  explicit Installer(HWND window, HMODULE resourceModule = nullptr, const std::wstring& tempParent = {});
  // Removes the folders made at construction, whatever workDir names by then.
  ~Installer();
  Installer(const Installer&) = delete;
  Installer& operator=(const Installer&) = delete;

  // Unpacks the payload and installs. True when the post-installation steps are to follow;
  // false after a cancelled unpacking, a declined signature, and always in setup-file mode.
  bool runInstallation();

  // Copies the archive out of the program and unpacks it into workDir on a background task
  // (unpackPayloadArchive), the percentage going to progressSink. False when cancelled.
  bool unpackPayload();
  // Where the archive copy goes: a folder of its own beside the working folder, so that no entry
  // of the distribution (one named "tmp.zip", say) can overwrite it while it is read. Empty when
  // that folder could not be made.
  [[nodiscard]] std::wstring archivePath() const;

  // Merges the distribution's launcher settings into the user's launcher file
  // (mergeLauncherConfigFile), stopped by a close request.
  [[nodiscard]] LauncherMerge mergeLauncherConfig(const std::wstring& distributionFile = L"Tarnel.cfg");

  // Post-installation steps of a distribution install; they report nothing and raise nothing.
  // Asks the installer service where productCode was installed (installLocation); true when it
  // knows.
  bool queryInstallLocation();
  // queryInstallLocation, then copyCertificate.
  bool installCertificate();
  // The distribution's cacertnx.pem into installLocation's "bin" folder (copyCertificate of
  // postinstall/).
  bool copyCertificate();
  // Starts the installed launcher (startLauncher of postinstall/), asking for installLocation
  // first when it is not known yet.
  bool startLauncher();

  // Starts `path` with `arguments` and waits: for the process in distribution mode, for its
  // whole process tree in setup-file mode (see ::runProgram).
  std::uint32_t runProgram(const std::wstring& path, const std::wstring& arguments);

  // Shows string `textId` in a box owned by the window; IDNO without a box after a close
  // request, 0 when there is no window to ask in.
  int askContinue(unsigned textId, unsigned style);

  // The signature gate (passSignatureGate) with this run's window and checkSignatures.
  Gate signatureGate(const std::wstring& path);

  // Installs a distribution found in the unpacked tree; non-zero when the post-installation
  // steps are to follow (also when the user declined at a signature question and nothing was
  // installed), 0 after a close request. Raises Failure "error occured while verifying
  // distro!!!" when no folder holds an acceptable distribution, the merge's error text when the
  // launcher settings cannot be merged (nothing is installed then), and runProgram's error.
  int runDistribution();

  // Searches the unpacked tree from workDir (searchDistribution); when one is found, workDir
  // names its folder. packagePath, productCode and xpPackage hold what the search learned, also
  // when it found none.
  DistributionOutcome findDistribution();
  // Checks the current folder (checkDistributionFolder of installation/), keeping what it found.
  FolderVerdict checkDistributionFolder();

  // Asks the running installation to stop: the unpacking ends within one chunk and no later
  // step starts. Safe from any thread.
  void requestCancel() { cancelRequested = true; }
  // Waits until the background unpacking task, if one was started, has finished. Does not take
  // its result away from the worker. Safe from any thread.
  void waitForUnpacking();

  HWND window;
  ZipUnpackager unpacker{L"tmp.zip"};
  std::string setupFileName;  // empty when the program carries no setup file name
  std::wstring packagePath;
  std::wstring productCode;
  std::wstring programFilesDir;
  bool xpPackage = false;
  std::wstring installLocation;
  std::wstring workDir;
  std::uint32_t archiveOffset = 0;
  bool noSetupFileName = true;
  std::atomic<bool> cancelRequested{false};
  std::wstring archiveFileName = L"tmp.zip";
  BackgroundTask unpackTask;  // the unpacking of unpackPayload
  bool checkSignatures = true;
  // A quiet run: nobody is asked, the installer service shows nothing, and nothing that needs a
  // person (elevation's consent) is attempted.
  bool quiet = false;
  // What the run is doing, for the log of a close request.
  std::atomic<const wchar_t*> step{L"start"};
  // Where the percentage goes and the window the installation asks and hides; window/ provides
  // both for `window`. Without them nothing is shown and no question can be asked.
  ProgressSink* progressSink = nullptr;
  InstallationWindow* installationWindow = nullptr;
  Elevation elevation;

 private:
  [[nodiscard]] RunControl control() { return {installationWindow, cancelRequested, &held_, quiet, &prefetch_}; }
  // Whether a signature gate will ask about a file of this name: the setup file in setup-file
  // mode, a package or a part checked beside it in distribution mode.
  [[nodiscard]] bool checkedLater(const std::wstring& name) const;

  // The folders are removed at the end, after the task and the held files have let go of them;
  // earlier runs' leftovers are removed meanwhile.
  WorkFolder createdWorkDir_;
  WorkFolder archiveFolder_;
  std::atomic<bool> stopLeftovers_{false};
  BackgroundTask leftovers_;
  // The files checked so far, held until what they were checked for has used them.
  HeldFiles held_;
  // Checks made while the payload unpacks; it goes before the files it holds are let go.
  SignaturePrefetch prefetch_;
};
