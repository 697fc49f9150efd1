// Distribution mode: install a distribution that the search accepted, with the user's language,
// through its own setup.exe or the platform's installer service.
#include "installation/installation.h"

#include "file_search.h"
#include "installation/language.h"
#include "installation/msi_library.h"
#include "installation/run_program.h"
#include "run_log.h"

namespace {

constexpr const wchar_t* kLauncherConfig = L"Tarnel.cfg";

}  // namespace

std::wstring findLauncherConfig(const Distribution& distribution, const std::wstring& unpackRoot) {
  for (const std::wstring& folder : {distribution.folder, unpackRoot}) {
    const std::wstring path = folder + L"\\" + kLauncherConfig;
    if (FileSearch().find(path)) return path;
  }
  return {};
}

std::uint32_t installDistribution(const Distribution& distribution, const RunControl& run) {
  MsiLibrary msi;
  if (!msi.load()) {
    run_log::line("installer service: cannot be loaded");
    return ERROR_INSTALL_SERVICE_FAILURE;
  }
  // The installer service's own windows have no owner: the progress window may be closed while
  // they are up, and an owner destroyed under them would take them along mid-installation.
  msi.setInternalUI(run.quiet ? INSTALLUILEVEL_NONE : INSTALLUILEVEL_BASIC, nullptr);

  const InstallerLanguage language = languageFor(GetUserDefaultLangID());
  const std::wstring transform = transformFileName(language, distribution.xpPackage);
  const std::wstring properties = installerProperties(language, FileSearch().find(transform) ? transform : L"");

  const std::wstring setupProgram = distribution.folder + L"\\setup.exe";
  if (FileSearch().find(setupProgram)) return runProgram(setupProgram, properties, ProgramWait::process, run);

  const std::wstring package = distribution.folder + L"\\" + distribution.packagePath;
  if (const std::wstring log = run_log::installerLogPath(); !log.empty()) {
    constexpr DWORD kVerbose = INSTALLLOGMODE_FATALEXIT | INSTALLLOGMODE_ERROR | INSTALLLOGMODE_WARNING |
                               INSTALLLOGMODE_USER | INSTALLLOGMODE_INFO | INSTALLLOGMODE_RESOLVESOURCE |
                               INSTALLLOGMODE_OUTOFDISKSPACE | INSTALLLOGMODE_ACTIONSTART |
                               INSTALLLOGMODE_ACTIONDATA | INSTALLLOGMODE_COMMONDATA |
                               INSTALLLOGMODE_PROPERTYDUMP | INSTALLLOGMODE_VERBOSE;
    const UINT status = msi.enableLog(kVerbose, log, INSTALLLOGATTRIBUTES_FLUSHEACHLINE);
    run_log::line("installer service log: %s (status %u)", log.c_str(), status);
  }
  run_log::line("installer service: MsiInstallProductW(\"%s\", \"%s\"), interface %s", package.c_str(),
                properties.c_str(), run.quiet ? L"none" : L"basic");
  const UINT result = msi.installProduct(package, properties);
  run_log::line("installer service: status %u", result);
  return result;
}
