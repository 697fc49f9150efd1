#include "installer.h"

#include "failure.h"
#include "file_search.h"
#include "installation/installation.h"
#include "installation/run_program.h"
#include "installation/signature.h"
#include "os_version.h"
#include "payload/payload.h"
#include "payload/work_folder.h"
#include "postinstall/post_install.h"
#include "text.h"

Installer::Installer(HWND window, HMODULE resourceModule, const std::wstring& tempParent) : window(window) {
  try {
    // The payload is located before any folder is made, so a program without one leaves
    // nothing behind.
    PayloadDescriptors payload = readPayloadDescriptors(resourceModule);
    archiveOffset = payload.archiveOffset;
    setupFileName = std::move(payload.setupFileName);
    noSetupFileName = !payload.hasSetupFileName;

    // Earlier runs' leftovers go on a thread of their own, so that the start never waits for
    // them; this run's folders are held from their creation, so it never takes them.
    leftovers_.start([this, tempParent] {
      removeLeftoverWorkFolders(tempParent, stopLeftovers_);
      return true;
    });
    createdWorkDir_ = WorkFolder(tempParent);
    workDir = createdWorkDir_.path();
    held_.setRoot(workDir);
    if (!workDir.empty()) archiveFolder_ = WorkFolder(tempParent);
  } catch (const std::exception& e) {
    throw Failure(e.what());
  }
  programFilesDir = readProgramFilesDir();
}

Installer::~Installer() {
  // The tasks refer to this object: they must have ended before anything goes.
  requestCancel();
  stopLeftovers_ = true;
  waitForUnpacking();
  leftovers_.wait();
  held_.release();
  createdWorkDir_.remove();
  archiveFolder_.remove();
}

std::wstring Installer::archivePath() const {
  return archiveFolder_.path().empty() ? std::wstring() : archiveFolder_.path() + L"\\" + archiveFileName;
}

void Installer::waitForUnpacking() { unpackTask.wait(); }

bool Installer::runInstallation() {
  if (!unpackPayload()) return false;
  // A close request that came in as the unpacking ended: nothing is started any more.
  if (cancelRequested) return false;
  if (noSetupFileName) return runDistribution() != 0;

  // The name is ANSI text, as the builder wrote it; paths stay wide from here on, whatever the
  // user's temporary folder is called.
  const std::wstring name = toWide(setupFileName);
  std::wstring folder = workDir;
  if (!findSetupFile(name, folder)) throw Failure("setup file: " + setupFileName + " doesn't exist");
  const std::wstring path = folder + L"\\" + name;
  if (signatureGate(path) == Gate::declined || cancelRequested) return false;
  runProgram(path, L"");
  return false;
}

bool Installer::unpackPayload() {
  // The signature checks that follow need the trust service: it gets ready while the task
  // unpacks. A distribution is checked on Windows 7 and later only.
  const bool checksFollow = !noSetupFileName || osVersion() >= os_release::windows7;
  return unpackPayloadArchive({archivePath(), archiveOffset, workDir}, unpacker, unpackTask, cancelRequested,
                              progressSink, checksFollow ? prepareTrustService : nullptr);
}

int Installer::runDistribution() {
  const std::wstring unpackRoot = workDir;
  const CurrentDirGuard rootCurrent(unpackRoot);
  const DistributionOutcome outcome = findDistribution();
  // A close request during the search: nothing is merged or installed.
  if (cancelRequested) return 0;
  switch (outcome) {
    case DistributionOutcome::found:
      break;
    case DistributionOutcome::cancelled:
      return 0;
    case DistributionOutcome::declined:
      // Nothing is installed, and the steps after the installation still run.
      return 1;
    case DistributionOutcome::none:
      throw Failure("error occured while verifying distro!!!");
  }
  // Whether the search found it at the root or deeper, the distribution's files are its own
  // folder's: the transform is looked up there and setup.exe runs there.
  const CurrentDirGuard distributionCurrent(workDir);
  const Distribution distribution{workDir, packagePath, productCode, xpPackage};
  if (const std::wstring settings = findLauncherConfig(distribution, unpackRoot); !settings.empty()) {
    const LauncherMerge merge = mergeLauncherConfig(settings);
    // Nothing is installed that would start with settings other than the distribution's.
    if (merge.outcome == LauncherMerge::Outcome::failed) throw Failure(merge.failure);
  }
  // A close request during the merge: nothing is installed.
  if (cancelRequested) return 0;
  const bool installed = installDistribution(distribution, control());
  // The installer service, or setup.exe, is done with the checked files.
  held_.release();
  return installed ? 1 : 0;
}

DistributionOutcome Installer::findDistribution() {
  const DistributionSearch search = searchDistribution(workDir, control(), checkSignatures);
  if (search.outcome == DistributionOutcome::found) workDir = search.distribution.folder;
  packagePath = search.distribution.packagePath;
  productCode = search.distribution.productCode;
  xpPackage = search.distribution.xpPackage;
  return search.outcome;
}

FolderVerdict Installer::checkDistributionFolder() {
  Distribution found{workDir, packagePath, productCode, xpPackage};
  const FolderVerdict verdict = ::checkDistributionFolder(found, control(), checkSignatures);
  packagePath = found.packagePath;
  productCode = found.productCode;
  xpPackage = found.xpPackage;
  return verdict;
}

LauncherMerge Installer::mergeLauncherConfig(const std::wstring& distributionFile) {
  return mergeLauncherConfigFile(distributionFile, &cancelRequested);
}

std::uint32_t Installer::runProgram(const std::wstring& path, const std::wstring& arguments) {
  return ::runProgram(path, arguments, noSetupFileName ? ProgramWait::process : ProgramWait::processTree, control());
}

int Installer::askContinue(unsigned textId, unsigned style) { return control().ask(textId, style); }

Gate Installer::signatureGate(const std::wstring& path) { return passSignatureGate(path, control(), checkSignatures); }

bool Installer::queryInstallLocation() {
  installLocation = ::queryInstallLocation(productCode);
  return !installLocation.empty();
}

bool Installer::installCertificate() { return queryInstallLocation() && copyCertificate(); }

bool Installer::copyCertificate() {
  return ::copyCertificate({workDir, installLocation, programFilesDir, createdWorkDir_.path()}, elevation);
}

bool Installer::startLauncher() {
  if (installLocation.empty() && !queryInstallLocation()) return false;
  return ::startLauncher(installLocation, cancelRequested);
}
