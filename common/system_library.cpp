#include "system_library.h"

#include <vector>

namespace {
constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
}

bool restrictDllSearchToSystem() {
  // Bound by name: the call exists from Windows 8 on, and on 7 and Vista with KB2533623.
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  auto setDefault = kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(
                                 reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")))
                           : nullptr;
  // An empty DLL directory removes the current folder from the search on every system.
  SetDllDirectoryW(L"");
  return setDefault && setDefault(kSearchSystem32);
}

std::wstring systemFolderPath(const std::wstring& fileName) {
  std::vector<wchar_t> folder(MAX_PATH);
  for (;;) {
    const UINT length = GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
    if (length == 0) return {};
    if (length < folder.size()) {
      std::wstring path(folder.data(), length);
      if (path.back() != L'\\') path += L'\\';
      return path + fileName;
    }
    folder.resize(length + 1);
  }
}

HMODULE loadSystemLibrary(const std::wstring& fileName) {
  const std::wstring path = systemFolderPath(fileName);
  if (path.empty()) return nullptr;
  // A full path is never searched for; the altered search path makes the DLL's own imports
  // resolve from its folder, the system folder, as well.
  return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

FARPROC systemEntryAddress(const std::wstring& fileName, const char* name) {
  HMODULE module = loadSystemLibrary(fileName);
  return module ? GetProcAddress(module, name) : nullptr;
}
