#include "setup_file.h"

#include <filesystem>
#include <stdexcept>

#include "installer.h"
#include "signature.h"
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

Installer::Gate Installer::signatureGate(const std::wstring& path) {
  std::wstring errorText;
  if (verifySignature(path, errorText)) return Gate::passed;
  switch (askContinue(5, MB_YESNO)) {
    case IDYES:
      checkSignatures = false;
      return Gate::passed;
    case IDNO:
      return Gate::declined;
    default:
      throw std::runtime_error(errorText.empty() ? "Invalid signature of msi" : toNarrow(errorText));
  }
}

int Installer::askContinue(unsigned textId, unsigned style) {
  wchar_t text[250] = {};
  wchar_t caption[250] = {};
  HINSTANCE self = GetModuleHandleW(nullptr);
  LoadStringW(self, textId, text, 250);
  LoadStringW(self, 103, caption, 250);
  return MessageBoxW(window, text, caption, style);
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
