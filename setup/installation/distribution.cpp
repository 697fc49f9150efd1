// The distribution search: the first folder of the unpacked tree that holds a package of ours,
// with valid (or accepted) signatures and our manufacturer, becomes the distribution folder.
#include "installation/distribution.h"

#include <vector>

#include "config/config_file.h"
#include "failure.h"
#include "file_search.h"
#include "installation/msi_library.h"
#include "installer.h"
#include "os_version.h"
#include "text.h"

namespace {

constexpr const wchar_t* kProductVersionQuery = L"SELECT Value FROM Property WHERE Property = 'ProductVersion'";
constexpr const wchar_t* kManufacturerQuery = L"SELECT Value FROM Property WHERE Property = 'Manufacturer'";

}  // namespace

bool isAcceptedManufacturer(const std::wstring& manufacturer) {
  if (manufacturer.empty()) return true;
  for (const wchar_t* accepted : {L"Kelm", L"Kelm-Soft", L"Kelm LLC"}) {
    if (equalsIgnoringCase(manufacturer, accepted)) return true;
  }
  return false;
}

bool isCheckedExecutablePart(const std::wstring& name) {
  const size_t dot = name.rfind(L'.');
  if (dot == std::wstring::npos) return false;
  const std::wstring extension = name.substr(dot);
  for (const wchar_t* checked : {L".cab", L".exe", L".mst"}) {
    if (equalsIgnoringCase(extension, checked)) return true;
  }
  return false;
}

bool Installer::findDistribution(int* reason) {
  if (reason) *reason = 0;
  try {
    // Depth first from the root: the subfolders of a folder are visited last-listed first, each
    // with its whole subtree before the next.
    std::vector<std::wstring> folders{workDir};
    // A close request ends the search: no folder after it is looked at.
    while (!folders.empty() && !cancelRequested) {
      const std::wstring folder = folders.back();
      folders.pop_back();
      std::vector<std::wstring> inner;
      {
        const CurrentDirGuard current(folder);
        // A folder that cannot be made current (too deep for the platform's current folder) is
        // no candidate: its files could not be named relative to it.
        if (current.targetIsCurrent()) {
          int folderReason = 0;
          if (checkDistributionFolder(&folderReason)) {
            workDir = folder;
            return true;
          }
          if (folderReason != 0 && reason) *reason = folderReason;
        }
        inner = subfolders(folder);
      }
      folders.insert(folders.end(), inner.begin(), inner.end());
    }
  } catch (const ConfigTooLargeError&) {
    throw;
  } catch (const std::exception&) {
    throw Failure("error occured while verifying distro recursive");
  }
  return false;
}

bool Installer::checkDistributionFolder(int* reason) {
  if (reason) *reason = 0;
  FileSearch search;
  const wchar_t* pattern = kPackagePattern;
  if (osVersion() < os_release::windowsVista && search.find(kXpPackagePattern)) {
    xpPackage = true;
    pattern = kXpPackagePattern;
  }
  if (!search.find(pattern)) return false;
  packagePath = search.name();

  // The trust service of older systems cannot verify today's signatures.
  if (osVersion() >= os_release::windows7) {
    if (signatureGate(packagePath) == Gate::declined) {
      if (reason) *reason = 1;
      return false;
    }
    // A Yes to the question stops the checks of the other files, here and in later folders.
    FileSearch entries;
    for (bool more = checkSignatures && entries.find(L"*"); more && checkSignatures; more = entries.next()) {
      const std::wstring name = entries.name();
      if (name == L"." || name == L".." || !isCheckedExecutablePart(name)) continue;
      if (signatureGate(name) == Gate::declined) {
        if (reason) *reason = 1;
        return false;
      }
    }
  }

  if (FileSearch().find(L"setup.ini")) {
    ConfigList setup;
    // An unreadable setup.ini does not reject the folder; what was read counts. One too large to
    // read is reported.
    if (tryReadConfigFile(L"setup.ini", setup) == ConfigRead::tooLarge) throw ConfigTooLargeError(L"setup.ini");
    if (const auto* values = findConfigValues(setup, L"ProductCode"); values && !values->empty()) {
      productCode = values->front();
    }
  }

  MsiLibrary msi;
  if (!msi.load()) return false;
  MsiHandle database(msi);
  if (msi.openDatabase(packagePath, L"", database.out()) != ERROR_SUCCESS) return false;
  std::wstring version, manufacturer;
  if (!queryText(msi, database.get(), kProductVersionQuery, version)) return false;
  if (!queryText(msi, database.get(), kManufacturerQuery, manufacturer)) return false;
  return isAcceptedManufacturer(manufacturer);
}
