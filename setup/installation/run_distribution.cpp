// Distribution mode: find and check the distribution, merge its launcher settings, and install
// it with the user's language, through its own setup.exe or the platform's installer service.

#include "failure.h"
#include "file_search.h"
#include "installation/language.h"
#include "installation/msi_library.h"
#include "installer.h"

namespace {

constexpr const wchar_t* kLauncherConfig = L"Tarnel.cfg";

}  // namespace

int Installer::runDistribution() {
  const std::wstring unpackRoot = workDir;
  const CurrentDirGuard rootCurrent(unpackRoot);
  int reason = 0;
  const bool found = findDistribution(&reason);
  // A close request during the search: nothing is merged or installed.
  if (cancelRequested) return 0;
  if (!found) {
    // The user declined at a signature question: nothing is installed, and the steps after the
    // installation still run.
    if (reason == 1) return 1;
    throw Failure("error occured while verifying distro!!!");
  }
  // Whether the search found it at the root or deeper, the distribution's files are its own
  // folder's: the transform is looked up there and setup.exe runs there.
  const CurrentDirGuard distributionCurrent(workDir);
  // A distribution built with its launcher settings at the top of the archive rather than
  // beside its package keeps working.
  std::wstring launcherConfig;
  if (FileSearch().find(kLauncherConfig)) {
    launcherConfig = workDir + L"\\" + kLauncherConfig;
  } else if (FileSearch().find(unpackRoot + L"\\" + kLauncherConfig)) {
    launcherConfig = unpackRoot + L"\\" + kLauncherConfig;
  }
  if (!launcherConfig.empty()) {
    std::string failure;
    if (!mergeLauncherConfig(launcherConfig, &failure)) {
      if (cancelRequested) return 0;
      // Nothing is installed that would start with settings other than the distribution's.
      throw Failure(failure);
    }
  }
  // A close request while the settings were merged: nothing is installed.
  if (cancelRequested) return 0;

  MsiLibrary msi;
  if (!msi.load()) return 0;
  // The installer service's own windows have no owner: the progress window may be closed while
  // they are up, and an owner destroyed under them would take them along mid-installation.
  msi.setInternalUI(INSTALLUILEVEL_BASIC, nullptr);

  const InstallerLanguage language = languageFor(GetUserDefaultLangID());
  const std::wstring transform = transformFileName(language, xpPackage);
  const std::wstring properties = installerProperties(language, FileSearch().find(transform) ? transform : L"");

  const std::wstring setupProgram = workDir + L"\\setup.exe";
  const std::uint32_t result = FileSearch().find(setupProgram)
                                   ? runProgram(setupProgram, properties)
                                   : msi.installProduct(workDir + L"\\" + packagePath, properties);
  // Only 0 is success: 3010 (restart required) and every other code included are not.
  return result == 0 ? 1 : 0;
}
