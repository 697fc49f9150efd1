// The installation driver: unpack, then run the named setup file (setup-file mode) or install
// the distribution (distribution mode).
#include "installation/installation.h"

#include "failure.h"
#include "file_search.h"
#include "installer.h"
#include "text.h"

bool findSetupFile(const std::wstring& name, std::wstring& folder) {
  const std::wstring base = folder;
  if (entryExists(base + L"\\" + name)) return true;
  for (const std::wstring& subfolder : subfolders(base)) {
    folder = subfolder;
    if (findSetupFile(name, folder)) return true;
  }
  return false;
}

bool Installer::runInstallation() {
  if (!unpackPayload()) return false;
  // A close request that came in as the unpacking ended: nothing is started any more.
  if (cancelRequested) return false;
  if (noSetupFileName) return runDistribution() != 0;

  // The name is ANSI text, as the builder wrote it; paths stay wide from here on, whatever the
  // user's temporary folder is called.
  const std::wstring name = toWide(setupFileName);
  std::wstring folder = workDir;
  if (!findSetupFile(name, folder)) {
    throw Failure("setup file: " + setupFileName + " doesn't exist");
  }
  const std::wstring path = folder + L"\\" + name;
  if (signatureGate(path) == Gate::declined) return false;
  if (cancelRequested) return false;
  try {
    runProgram(path, L"");
  } catch (const std::exception& e) {
    throw Failure(e.what());
  }
  return false;
}
