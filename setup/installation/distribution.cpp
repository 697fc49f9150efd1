// The distribution search: the first folder of the unpacked tree that holds a package of ours,
// with valid (or accepted) signatures and our manufacturer, becomes the distribution folder.
#include "installation/distribution.h"

#include <vector>

#include "config/config_file.h"
#include "failure.h"
#include "file_search.h"
#include "installation/msi_library.h"
#include "installation/signature_gate.h"
#include "os_version.h"
#include "run_log.h"
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

bool isPackageName(const std::wstring& name) {
  const std::wstring folded = foldAscii(name);
  return folded.size() >= 4 && folded.compare(folded.size() - 4, 4, L".msi") == 0 &&
         folded.find(L"uorda") < folded.size() - 4;
}

DistributionSearch searchDistribution(const std::wstring& root, const RunControl& run, bool& checkSignatures) {
  DistributionSearch search;
  try {
    std::vector<std::wstring> folders{root};
    // A close request ends the search: no folder after it is looked at.
    while (!folders.empty()) {
      if (run.cancelled()) {
        search.outcome = DistributionOutcome::cancelled;
        return search;
      }
      const std::wstring folder = folders.back();
      folders.pop_back();
      std::vector<std::wstring> inner;
      {
        const CurrentDirGuard current(folder);
        // A folder that cannot be made current (too deep for the platform's current folder) is
        // no candidate: its files could not be named relative to it.
        run_log::line("folder: %s", folder.c_str());
        if (!current.targetIsCurrent()) run_log::line("verdict: rejected, the folder cannot be made current");
        if (current.targetIsCurrent()) {
          switch (checkDistributionFolder(search.distribution, run, checkSignatures)) {
            case FolderVerdict::cancelled:
              search.outcome = DistributionOutcome::cancelled;
              return search;
            case FolderVerdict::accepted:
              search.distribution.folder = folder;
              search.outcome = DistributionOutcome::found;
              return search;
            case FolderVerdict::declined:
              search.outcome = DistributionOutcome::declined;
              break;
            case FolderVerdict::rejected:
              break;
          }
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
  if (run.cancelled()) search.outcome = DistributionOutcome::cancelled;
  return search;
}

namespace {

FolderVerdict verdict(FolderVerdict verdict, const wchar_t* reason, const wchar_t* detail = L"") {
  static constexpr const wchar_t* kNames[] = {L"accepted", L"declined", L"rejected", L"stopped by the close request"};
  run_log::line("verdict: %s, %s%s", kNames[static_cast<int>(verdict)], reason, detail);
  return verdict;
}

}  // namespace

FolderVerdict checkDistributionFolder(Distribution& found, const RunControl& run, bool& checkSignatures) {
  FileSearch search;
  const wchar_t* pattern = kPackagePattern;
  if (osVersion() < os_release::windowsVista && search.find(kXpPackagePattern)) {
    found.xpPackage = true;
    pattern = kXpPackagePattern;
  }
  if (!search.find(pattern)) return verdict(FolderVerdict::rejected, L"no package ", pattern);
  found.packagePath = search.name();
  run_log::line("package: %s", found.packagePath.c_str());

  // The trust service of older systems cannot verify today's signatures.
  if (osVersion() >= os_release::windows7) {
    if (passSignatureGate(found.packagePath, run, checkSignatures) == Gate::declined) {
      return verdict(FolderVerdict::declined, L"signature declined: ", found.packagePath.c_str());
    }
    // A Yes to the question stops the checks of the other files, here and in later folders.
    FileSearch entries;
    for (bool more = checkSignatures && entries.find(L"*"); more && checkSignatures; more = entries.next()) {
      const std::wstring name = entries.name();
      if (name == L"." || name == L".." || !isCheckedExecutablePart(name)) continue;
      // Each check may take a while on a large file: a close request is seen between them.
      if (run.cancelled()) return verdict(FolderVerdict::cancelled, L"before ", name.c_str());
      if (passSignatureGate(name, run, checkSignatures) == Gate::declined) {
        return verdict(FolderVerdict::declined, L"signature declined: ", name.c_str());
      }
    }
  } else {
    run_log::line("signatures: not checked on systems older than Windows 7");
  }

  if (run.cancelled()) return verdict(FolderVerdict::cancelled, L"before setup.ini");
  if (FileSearch().find(L"setup.ini")) {
    ConfigList setup;
    // An unreadable setup.ini does not reject the folder; what was read counts. One too large to
    // read is reported.
    if (tryReadConfigFile(L"setup.ini", setup) == ConfigRead::tooLarge) throw ConfigTooLargeError(L"setup.ini");
    if (const auto* values = findConfigValues(setup, L"ProductCode"); values && !values->empty()) {
      found.productCode = values->front();
      run_log::line("setup.ini: product code %s", found.productCode.c_str());
    }
  }

  MsiLibrary msi;
  if (!msi.load()) return verdict(FolderVerdict::rejected, L"the installer service cannot be loaded");
  MsiHandle database(msi);
  if (const UINT status = msi.openDatabase(found.packagePath, L"", database.out()); status != ERROR_SUCCESS) {
    run_log::line("installer service: status %u", status);
    return verdict(FolderVerdict::rejected, L"the package cannot be opened");
  }
  std::wstring version, manufacturer;
  if (!queryText(msi, database.get(), kProductVersionQuery, version)) {
    return verdict(FolderVerdict::rejected, L"the package names no ProductVersion");
  }
  if (!queryText(msi, database.get(), kManufacturerQuery, manufacturer)) {
    return verdict(FolderVerdict::rejected, L"the package names no Manufacturer");
  }
  run_log::line("package: version %s, manufacturer \"%s\"", version.c_str(), manufacturer.c_str());
  return isAcceptedManufacturer(manufacturer) ? verdict(FolderVerdict::accepted, L"our package")
                                              : verdict(FolderVerdict::rejected, L"not our manufacturer");
}
