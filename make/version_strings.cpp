#include "version_strings.h"

#include <windows.h>
#include <winver.h>

#include <cwchar>
#include <vector>

#include "console.h"
#include "error_report.h"
#include "resource_update.h"
#include "system_library.h"
#include "version_block.h"

namespace {

// The version information calls, bound from the system folder's version.dll. It is no known
// DLL: imported at link time, it would be looked up beside the builder first, where anything
// may lie.
struct VersionApi {
  decltype(&GetFileVersionInfoSizeW) infoSize =
      systemEntry<decltype(infoSize)>(L"version.dll", "GetFileVersionInfoSizeW");
  decltype(&GetFileVersionInfoW) info = systemEntry<decltype(info)>(L"version.dll", "GetFileVersionInfoW");
};

}  // namespace

bool setVersionString(const std::wstring& file, const std::wstring& name, const std::wstring& value) {
  static const VersionApi api;
  if (!api.infoSize || !api.info) {
    printError("Can't load version.dll from the system folder");
    return false;
  }
  DWORD ignored = 0;
  const DWORD size = api.infoSize(file.c_str(), &ignored);
  if (size == 0) {
    printError("file version info size equals to zero");
    return false;
  }
  // Sized by what the system reports, so no block can run past the buffer.
  std::vector<std::uint8_t> info(size);
  std::optional<VersionBlock> block;
  if (api.info(file.c_str(), 0, size, info.data())) block = VersionBlock::parse(info.data(), info.size());
  const auto translation = block ? block->firstTranslation() : std::nullopt;
  if (!translation) {
    printError(L"can't query version info property: " + name);
    return false;
  }
  wchar_t table[16];
  std::swprintf(table, 16, L"%04x%04x", translation->first, translation->second);
  if (!block->setString(table, name, value)) {
    printError(L"can't query version info property: " + name);
    return false;
  }

  ResourceUpdate update(file);
  if (!update.valid()) {
    printError("Begin Update Resource failed");
    return false;
  }
  const std::vector<std::uint8_t> bytes = block->serialize();
  if (!update.update(16 /* RT_VERSION */, 1, translation->first, bytes.data(), static_cast<DWORD>(bytes.size()))) {
    printError("Update resource error");
    SystemErrorReport();
    return false;
  }
  if (!update.commit()) {
    printError("End update error");
    SystemErrorReport();
    return false;
  }
  return true;
}
