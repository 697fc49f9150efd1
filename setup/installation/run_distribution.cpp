// Distribution mode: install a distribution that the search accepted, with the user's language,
// through its own setup.exe or the platform's installer service.
#include "installation/installation.h"

#include "file_search.h"
#include "installation/language.h"
#include "installation/msi_library.h"
#include "installation/run_program.h"

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

bool installDistribution(const Distribution& distribution, const RunControl& run) {
  MsiLibrary msi;
  if (!msi.load()) return false;
  // The installer service's own windows have no owner: the progress window may be closed while
  // they are up, and an owner destroyed under them would take them along mid-installation.
  msi.setInternalUI(INSTALLUILEVEL_BASIC, nullptr);

  const InstallerLanguage language = languageFor(GetUserDefaultLangID());
  const std::wstring transform = transformFileName(language, distribution.xpPackage);
  const std::wstring properties = installerProperties(language, FileSearch().find(transform) ? transform : L"");

  const std::wstring setupProgram = distribution.folder + L"\\setup.exe";
  const std::uint32_t result = FileSearch().find(setupProgram)
                                   ? runProgram(setupProgram, properties, ProgramWait::process, run)
                                   : msi.installProduct(distribution.folder + L"\\" + distribution.packagePath, properties);
  return result == 0;
}
