#pragma once
// The state of one setup run and the owner of its steps. The worker thread builds it, runs the
// installation on it and destroys it, which removes the working folder; the window's close
// handler may ask it to stop.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "payload/zip_unpackager.h"
#include "postinstall/elevation.h"
#include "threads.h"

class Installer {
 public:
  // Reads the payload resources from `resourceModule` (null: the running program), makes the
  // working folder and the archive copy's folder (in `tempParent`, or the user's temporary
  // folder when empty) and reads the
  // Program Files folder. Raises Failure with the payload errors ("can't find local
  // res", "ZIP-archive not present", ...) before any folder is made.
  explicit Installer(HWND window, HMODULE resourceModule = nullptr, const std::wstring& tempParent = {});
  // Removes the folders made at construction, whatever workDir names by then.
  ~Installer();
  Installer(const Installer&) = delete;
  Installer& operator=(const Installer&) = delete;

  // Unpacks the payload and installs. True when the post-installation steps are to follow;
  // false after a cancelled unpacking, a declined signature, and always in setup-file mode.
  bool runInstallation();

  // Copies the archive out of the program and unpacks it into workDir on a background task,
  // forwarding the percentage to the window every 300 ms. False when cancelled.
  bool unpackPayload();
  // Where the archive copy goes: a folder of its own beside the working folder, so that no entry
  // of the distribution (one named "tmp.zip", say) can overwrite it while it is read. Empty when
  // that folder could not be made.
  [[nodiscard]] std::wstring archivePath() const;

  // Merges the distribution's launcher settings (a relative name resolves against the current
  // folder) into the user's launcher file; see mergeLauncherConfigFile. True when the user's
  // file was written; false leaves it as it was, with the error text in `failure` (empty after
  // a close request).
  [[nodiscard]] bool mergeLauncherConfig(const std::wstring& distributionFile = L"Tarnel.cfg",
                                         std::string* failure = nullptr);

  // Post-installation steps of a distribution install; they report nothing and raise nothing.
  // Asks the installer service where productCode was installed (installLocation, which ends
  // with a backslash); true when it knows.
  bool queryInstallLocation();
  // queryInstallLocation, then copyCertificate.
  bool installCertificate();
  // Copies the distribution's cacertnx.pem into installLocation's "bin" folder, replacing one
  // that is there: directly, or through the command interpreter started elevated when the
  // folder lies below programFilesDir (any folder when that is empty) and the process lacks full
  // rights. True when the file is in place. Only a regular file is copied (a folder of that
  // name is not); the "bin" folder is not made.
  bool copyCertificate();
  // Starts <installLocation>..\common\tarnel.exe, the path taken as it is (a "%" in it
  // included), with nothing shown by the system when it cannot start, and waits, at most 15 s,
  // until it is ready for input. True when it started and became ready in time.
  bool startLauncher();

  // Starts `path` with `arguments` (quoted path, one space, arguments), hides the window and
  // waits: for the process in distribution mode, for its whole process tree in setup-file
  // mode. Returns the exit code (always 0 in setup-file mode). Raises Failure
  // "can't start <file name>: <the system's reason>" when the program cannot be started (an
  // empty, damaged or foreign program, a folder); the window then stays as it was.
  std::uint32_t runProgram(const std::wstring& path, const std::wstring& arguments);

  // Shows string `textId` with the caption string 103 in a box owned by the window; IDNO
  // without a box after a close request.
  int askContinue(unsigned textId, unsigned style);

  // Verifies a file's signature and asks the user when it fails: passed (valid, or the user
  // chose to continue, which clears checkSignatures) or declined. Raises Failure when
  // the question cannot be shown.
  enum class Gate { passed, declined };
  Gate signatureGate(const std::wstring& path);

  // Installs a distribution found in the unpacked tree; non-zero when the post-installation
  // steps are to follow (also when the user declined at a signature question and nothing was
  // installed), 0 after a close request. Raises Failure "error occured while
  // verifying distro!!!" when no folder holds an acceptable distribution, the merge's error
  // text when the launcher settings cannot be merged (nothing is installed then), and
  // runProgram's error.
  int runDistribution();

  // Searches the unpacked tree, depth first from workDir, for the first folder that
  // checkDistributionFolder accepts; on success workDir names it. With a false result `reason`
  // is 1 when the user declined at a signature question somewhere, else 0; after a close
  // request it stops with false. Raises ConfigTooLargeError for a setup.ini too large to read,
  // Failure "error occured while verifying distro recursive" for any other error.
  bool findDistribution(int* reason = nullptr);
  // Checks the current folder: a package of ours (packagePath, xpPackage), its signatures and
  // those of the folder's .cab, .exe and .mst files on Windows 7 and later (reason 1 when the
  // user declines), the product code from setup.ini, and a database that answers for
  // ProductVersion and names our manufacturer.
  bool checkDistributionFolder(int* reason = nullptr);

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
  // How elevated the process is, and the verb that would elevate it; tests stand in for the
  // platform's answers.
  struct Elevation {
    ElevationType (*type)() = queryElevationType;
    const wchar_t* (*verb)() = elevationVerb;
  } elevation;

 private:
  std::wstring createdWorkDir_;
  std::wstring archiveFolder_;
};
