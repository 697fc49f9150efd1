#pragma once
// Starting an installer program and waiting for it.
#include <cstdint>
#include <string>

#include "installation/run_control.h"

enum class ProgramWait {
  process,     // the program itself (the distribution's setup.exe)
  processTree  // the program and every process it started, theirs included (a setup file)
};

// Starts `path` with `arguments` (quoted path, one space, arguments), hides the window and
// waits as `wait` says. Returns the program's exit code (always 0 for a process tree). Raises
// Failure "can't start <file name>: <the system's reason>" when the program cannot be started
// (an empty, damaged or foreign program, a folder); the window then stays as it was. The files
// that `run.held` holds are let go once a setup file's process has started (it may replace or
// remove its own files); for the distribution's setup.exe they stay held until it has ended, as
// the package and the files it installs are read meanwhile.
[[nodiscard]] std::uint32_t runProgram(const std::wstring& path, const std::wstring& arguments, ProgramWait wait,
                                       const RunControl& run);
