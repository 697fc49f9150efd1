// The installation driver: unpack, then run the named setup file (setup-file mode) or install
// the distribution (distribution mode).
#include "installation/setup_file.h"

#include <filesystem>
#include <stdexcept>

#include "installer.h"
#include "text.h"

namespace fs = std::filesystem;

bool findSetupFile(const std::string& name, std::string& folder) {
  // 8-bit texts are ANSI: paths are made from their wide form, never from the bytes.
  const fs::path base(toWide(folder));
  if (fs::exists(base / toWide(name))) return true;
  for (const fs::directory_entry& entry : fs::directory_iterator(base)) {
    if (!fs::is_directory(entry.status())) continue;
    folder = toNarrow(entry.path().wstring());
    if (findSetupFile(name, folder)) return true;
  }
  return false;
}

bool Installer::runInstallation() {
  if (!unpackPayload()) return false;
  // A close request that came in as the unpacking ended: nothing is started any more.
  if (cancelRequested) return false;
  if (noSetupFileName) return runDistribution() != 0;

  std::string folder = toNarrow(workDir);
  if (!findSetupFile(setupFileName, folder)) {
    throw std::runtime_error("setup file: " + setupFileName + " doesn't exist");
  }
  const std::wstring path = toWide(folder) + L"\\" + toWide(setupFileName);
  if (signatureGate(path) == Gate::declined) return false;
  if (cancelRequested) return false;
  try {
    runProgram(path, L"");
  } catch (const std::exception& e) {
    throw std::runtime_error(e.what());
  }
  return false;
}

int Installer::runDistribution() {
  // Distribution installs are not supported yet: nothing is installed.
  return 0;
}
