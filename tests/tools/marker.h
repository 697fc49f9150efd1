#pragma once
// What the stand-in programs of the tests share: reading their settings from the environment and
// leaving marker files that a test polls for.
#include <windows.h>

#include <string>

inline std::wstring variable(const wchar_t* name) {
  wchar_t value[32768];
  const DWORD length = GetEnvironmentVariableW(name, value, 32768);
  return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

inline std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

// Three UTF-8 lines: the program's command line, its current folder and its own path.
inline std::string selfDescription() {
  wchar_t current[MAX_PATH] = {}, self[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, current);
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return utf8(GetCommandLineW()) + "\n" + utf8(current) + "\n" + utf8(self) + "\n";
}

// Writes `name` into the folder PONDREL_MARKER_DIR names (nothing without it). The file appears
// whole or not at all for a test that polls for it.
inline void writeMarker(const std::wstring& name, const std::string& text) {
  const std::wstring folder = variable(L"PONDREL_MARKER_DIR");
  if (folder.empty()) return;
  const std::wstring partial = folder + L"\\" + name + L".part";
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  MoveFileExW(partial.c_str(), (folder + L"\\" + name).c_str(), MOVEFILE_REPLACE_EXISTING);
}
