#include "version_strings.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "console.h"
#include "error_report.h"
#include "resource_update.h"
#include "version_block.h"

void setVersionString(const std::wstring& file, const std::wstring& name, const std::wstring& value) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) {
    printError("file version info size equals to zero");
    return;
  }
  // Sized by what the system reports, so no block can run past the buffer.
  std::vector<std::uint8_t> info(size);
  std::optional<VersionBlock> block;
  if (GetFileVersionInfoW(file.c_str(), 0, size, info.data())) block = VersionBlock::parse(info.data(), info.size());
  const auto translation = block ? block->firstTranslation() : std::nullopt;
  if (!translation) {
    printError(L"can't query version info property: " + name);
    return;
  }
  wchar_t table[16];
  std::swprintf(table, 16, L"%04x%04x", translation->first, translation->second);
  if (!block->setString(table, name, value)) {
    printError(L"can't query version info property: " + name);
    return;
  }

  ResourceUpdate update(file);
  if (!update.valid()) {
    printError("Begin Update Resource failed");
    return;
  }
  const std::vector<std::uint8_t> bytes = block->serialize();
  update.update(16 /* RT_VERSION */, 1, translation->first, bytes.data(), static_cast<DWORD>(bytes.size()));
  if (!update.commit()) {
    printError("End update error");
    SystemErrorReport();
  }
}
