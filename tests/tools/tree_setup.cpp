// A stand-in setup file that leaves a process tree behind: it starts a child and exits at
// once; the child starts a grandchild and exits at once; the grandchild outlives both and,
// after PONDREL_TREE_DELAY milliseconds (default 2000), writes "tree-done.txt" into
// PONDREL_MARKER_DIR. The first process writes "tree-start.txt" there. With
// PONDREL_TREE_CHILD_LINGER the child stays that many milliseconds after starting the
// grandchild. With PONDREL_TREE_BREAKAWAY set the first process starts the child outside its
// job (CREATE_BREAKAWAY_FROM_JOB), as setups with jobs of their own do.
#include <windows.h>

#include <string>

#include "marker.h"

namespace {

void mark(const wchar_t* name) { writeMarker(name, std::to_string(GetCurrentProcessId()) + "\n"); }

void startSelf(const wchar_t* role, DWORD flags = 0) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + role;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  const std::wstring arguments = commandLine ? commandLine : L"";
  if (arguments.find(L"grandchild") != std::wstring::npos) {
    const std::wstring delay = variable(L"PONDREL_TREE_DELAY");
    Sleep(delay.empty() ? 2000 : static_cast<DWORD>(_wtoi(delay.c_str())));
    mark(L"tree-done.txt");
  } else if (arguments.find(L"child") != std::wstring::npos) {
    startSelf(L"grandchild");
    const std::wstring linger = variable(L"PONDREL_TREE_CHILD_LINGER");
    if (!linger.empty()) Sleep(static_cast<DWORD>(_wtoi(linger.c_str())));
  } else {
    mark(L"tree-start.txt");
    startSelf(L"child", variable(L"PONDREL_TREE_BREAKAWAY").empty() ? 0 : CREATE_BREAKAWAY_FROM_JOB);
  }
  return 0;
}
