// Setup-file mode: the named setup file, wherever it lies in the unpacked tree.
#include "installation/installation.h"

#include "file_search.h"

bool findSetupFile(const std::wstring& name, std::wstring& folder) {
  const std::wstring base = folder;
  if (entryExists(base + L"\\" + name)) return true;
  for (const std::wstring& subfolder : subfolders(base)) {
    folder = subfolder;
    if (findSetupFile(name, folder)) return true;
  }
  return false;
}
