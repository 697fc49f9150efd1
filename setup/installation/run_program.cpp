#include "installation/run_program.h"

#include <vector>

#include "error_report.h"
#include "failure.h"
#include "handles.h"
#include "installation/held_files.h"
#include "installation/process_tree.h"
#include "run_log.h"
#include "text.h"

namespace {

// "can't start <name>: <reason>", the system's reason with its insert ("%1 is not a valid
// Win32 application.") filled with the name.
[[noreturn]] void raiseStartError(const std::wstring& path, DWORD error) {
  const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  std::wstring reason = systemReason(error);
  for (size_t at = reason.find(L"%1"); at != std::wstring::npos; at = reason.find(L"%1", at + name.size())) {
    reason.replace(at, 2, name);
  }
  run_log::setOutcome(exit_code::cannotStart);
  throw Failure("can't start " + toNarrow(name) + ": " + toNarrow(reason));
}

}  // namespace

std::uint32_t runProgram(const std::wstring& path, const std::wstring& arguments, ProgramWait wait,
                         const RunControl& run) {
  const std::wstring commandLine = L"\"" + path + L"\" " + arguments;
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');

  run_log::line("starting: %s", commandLine.c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  // A setup file's process tree is also followed through a job, which the process joins before
  // it runs its first instruction. Where that is impossible (this program already runs in a job
  // on a system without nested jobs) the snapshots alone follow it.
  UniqueHandle job = wait == ProgramWait::process ? UniqueHandle() : createTrackingJob();
  const DWORD flags = job ? CREATE_SUSPENDED : 0;
  const BOOL ok = CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                                 &started);
  // A program that cannot start is an error the user sees, and nothing that was to follow it runs.
  if (!ok) raiseStartError(path, GetLastError());
  if (job) {
    if (!AssignProcessToJobObject(job.get(), started.hProcess)) job.reset();
    ResumeThread(started.hThread);
  }
  run_log::line("started: process %lu%s", started.dwProcessId,
                wait == ProgramWait::process ? L"" : job ? L", its tree followed through a job" : L", its tree followed");
  if (wait == ProgramWait::processTree && run.held) run.held->release();
  // The installer's own windows take over from here.
  run.hide();

  UniqueHandle process(started.hProcess);
  UniqueHandle thread(started.hThread);
  DWORD exitCode = 0;
  if (wait == ProgramWait::process) {
    WaitForSingleObject(process.get(), INFINITE);
  } else {
    ProcessTree tree(started.dwProcessId, process.get(), job.get());
    tree.wait();
  }
  GetExitCodeProcess(process.get(), &exitCode);
  run_log::line("ended: exit code %lu%s", exitCode, wait == ProgramWait::process ? L"" : L", with every process it started");
  return exitCode;
}
