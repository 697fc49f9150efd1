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
#include "run_log.h"
#include "text.h"

Installer::Installer(HWND window, HMODULE resourceModule, const std::wstring& tempParent)
    : window(window), prefetch_([this](const std::wstring& name) { return checkedLater(name); }, held_, cancelRequested) {
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
  run_log::line("payload: archive at offset %u, %s%s", archiveOffset,
                noSetupFileName ? L"distribution mode" : L"setup file ", toWide(setupFileName).c_str());
  run_log::line("working folder: %s", workDir.empty() ? L"(none could be made)" : workDir.c_str());
  run_log::line("archive folder: %s", archiveFolder_.path().empty() ? L"(none)" : archiveFolder_.path().c_str());
}

Installer::~Installer() {
  // The tasks refer to this object: they must have ended before anything goes.
  requestCancel();
  stopLeftovers_ = true;
  waitForUnpacking();
  leftovers_.wait();
  prefetch_.stop();
  held_.release();
  createdWorkDir_.remove();
  archiveFolder_.remove();
}

bool Installer::checkedLater(const std::wstring& name) const {
  if (!noSetupFileName) return equalsIgnoringCase(name, toWide(setupFileName));
  return isCheckedExecutablePart(name) || isPackageName(name);
}

std::wstring Installer::archivePath() const {
  return archiveFolder_.path().empty() ? std::wstring() : archiveFolder_.path() + L"\\" + archiveFileName;
}

void Installer::waitForUnpacking() { unpackTask.wait(); }

bool Installer::runInstallation() {
  step = L"unpacking";
  if (!unpackPayload()) return false;
  // A close request that came in as the unpacking ended: nothing is started any more.
  if (cancelRequested) return false;
  if (noSetupFileName) return runDistribution() != 0;

  // The name is ANSI text, as the builder wrote it; paths stay wide from here on, whatever the
  // user's temporary folder is called.
  step = L"setup file search";
  const std::wstring name = toWide(setupFileName);
  std::wstring folder = workDir;
  if (!findSetupFile(name, folder)) {
    run_log::setOutcome(exit_code::cannotStart);
    throw Failure("setup file: " + setupFileName + " doesn't exist");
  }
  const std::wstring path = folder + L"\\" + name;
  run_log::line("setup file: %s", path.c_str());
  step = L"signature check";
  const Gate gate = signatureGate(path);
  // The one check needed is made: files held for others go unchecked.
  prefetch_.stop();
  if (gate == Gate::declined) {
    run_log::setOutcome(exit_code::signatureRefused);
    return false;
  }
  if (cancelRequested) return false;
  step = L"setup file's run";
  const std::uint32_t code = runProgram(path, L"");
  if (code != 0) run_log::setOutcome(exit_code::forInstaller(code));
  return false;
}

bool Installer::unpackPayload() {
  // The signature checks that follow start on a thread of their own: the trust service gets
  // ready while the archive is copied out, and each file the checks will ask about is checked
  // as soon as it is written, while the rest unpacks. A distribution is checked on Windows 7
  // and later only.
  const bool checksFollow = !noSetupFileName || osVersion() >= os_release::windows7;
  FileWrittenCallback written;
  if (checksFollow) {
    prefetch_.start();
    written = [this](const std::wstring& path) { prefetch_.offer(path); };
  }
  const std::uint32_t start = run_log::elapsedMilliseconds();
  const bool done = unpackPayloadArchive({archivePath(), archiveOffset, workDir, written}, unpacker, unpackTask,
                                         cancelRequested, progressSink);
  const std::uint32_t ms = run_log::elapsedMilliseconds() - start;
  run_log::line(done ? "unpacking ended after %u.%03u s" : "unpacking stopped by the close request after %u.%03u s",
                ms / 1000, ms % 1000);
  return done;
}

int Installer::runDistribution() {
  const std::wstring unpackRoot = workDir;
  const CurrentDirGuard rootCurrent(unpackRoot);
  step = L"distribution search";
  const DistributionOutcome outcome = findDistribution();
  // Every check the search needed is made.
  prefetch_.stop();
  // A close request during the search: nothing is merged or installed.
  if (cancelRequested) return 0;
  switch (outcome) {
    case DistributionOutcome::found:
      run_log::line("distribution: %s, package %s, product code %s", workDir.c_str(), packagePath.c_str(),
                    productCode.c_str());
      break;
    case DistributionOutcome::cancelled:
      return 0;
    case DistributionOutcome::declined:
      // Nothing is installed, and the steps after the installation still run.
      run_log::line("distribution: none accepted, a signature was declined");
      run_log::setOutcome(exit_code::signatureRefused);
      return 1;
    case DistributionOutcome::none:
      run_log::setOutcome(exit_code::noDistribution);
      throw Failure("error occured while verifying distro!!!");
  }
  // Whether the search found it at the root or deeper, the distribution's files are its own
  // folder's: the transform is looked up there and setup.exe runs there.
  const CurrentDirGuard distributionCurrent(workDir);
  const Distribution distribution{workDir, packagePath, productCode, xpPackage};
  if (const std::wstring settings = findLauncherConfig(distribution, unpackRoot); !settings.empty()) {
    step = L"launcher settings merge";
    const LauncherMerge merge = mergeLauncherConfig(settings);
    run_log::line("launcher settings %s: %s%hs", settings.c_str(),
                  merge.merged() ? L"merged" : merge.outcome == LauncherMerge::Outcome::failed ? L"failed, " : L"stopped",
                  merge.failure.c_str());
    // Nothing is installed that would start with settings other than the distribution's.
    if (merge.outcome == LauncherMerge::Outcome::failed) {
      run_log::setOutcome(exit_code::mergeFailed);
      throw Failure(merge.failure);
    }
  } else {
    run_log::line("launcher settings: none in the distribution");
  }
  // A close request during the merge: nothing is installed.
  if (cancelRequested) return 0;
  step = L"installation";
  const std::uint32_t result = installDistribution(distribution, control());
  // The installer service, or setup.exe, is done with the checked files.
  held_.release();
  if (result != 0) run_log::setOutcome(exit_code::forInstaller(result));
  return result == 0 ? 1 : 0;
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

bool Installer::installCertificate() {
  step = L"certificate copy";
  const bool located = queryInstallLocation();
  if (located) {
    run_log::line("installed location: %s", installLocation.c_str());
  } else {
    run_log::line("installed location: not known for product %s", productCode.c_str());
  }
  // A distribution without a certificate has nothing to copy; one whose copy fails decides the
  // outcome.
  if (!entryExists(workDir + L"\\cacertnx.pem")) {
    run_log::line("certificate: none in the distribution");
    return false;
  }
  const bool copied = located && copyCertificate();
  if (!copied) run_log::setOutcome(exit_code::certificateNotCopied);
  return copied;
}

bool Installer::copyCertificate() {
  return ::copyCertificate({workDir, installLocation, programFilesDir, createdWorkDir_.path(), !quiet}, elevation);
}

bool Installer::startLauncher() {
  step = L"launcher start";
  if (installLocation.empty() && !queryInstallLocation()) {
    run_log::line("launcher: not started, the installed location is not known");
    return false;
  }
  return ::startLauncher(installLocation, cancelRequested);
}
