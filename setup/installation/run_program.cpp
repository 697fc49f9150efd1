#include <vector>

#include "handles.h"
#include "installer.h"
#include "installation/process_tree.h"

std::uint32_t Installer::runProgram(const std::wstring& path, const std::wstring& arguments) {
  const std::wstring commandLine = L"\"" + path + L"\" " + arguments;
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  // A setup file's process tree is also followed through a job, which the process joins before
  // it runs its first instruction. Where that is impossible (this program already runs in a job
  // on a system without nested jobs) the snapshots alone follow it.
  UniqueHandle job = noSetupFileName ? UniqueHandle() : createTrackingJob();
  const DWORD flags = job ? CREATE_SUSPENDED : 0;
  const BOOL ok = CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                                 &started);
  if (ok && job) {
    if (!AssignProcessToJobObject(job.get(), started.hProcess)) job.reset();
    ResumeThread(started.hThread);
  }
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
    ProcessTree tree(started.dwProcessId, process.get(), job.get());
    tree.wait();
  }
  return exitCode;
}
