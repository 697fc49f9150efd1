#include <vector>

#include "handles.h"
#include "installer.h"
#include "process_tree.h"

std::uint32_t Installer::runProgram(const std::wstring& path, const std::wstring& arguments) {
  const std::wstring commandLine = L"\"" + path + L"\" " + arguments;
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  const BOOL ok = CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &started);
  // The installer's own windows take over from here.
  ShowWindow(window, SW_HIDE);
  if (!ok) return 0;

  UniqueHandle process(started.hProcess);
  UniqueHandle thread(started.hThread);
  DWORD exitCode = 0;
  if (noSetupFileName) {
    WaitForSingleObject(process.get(), INFINITE);
    GetExitCodeProcess(process.get(), &exitCode);
  } else {
    ProcessTree tree(started.dwProcessId, process.get());
    tree.wait();
  }
  return exitCode;
}
