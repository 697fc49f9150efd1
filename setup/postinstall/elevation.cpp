#include "postinstall/elevation.h"

#include <shellapi.h>

#include "handles.h"
#include "os_version.h"
#include "system_library.h"

namespace {

// Reads a 4-byte token value of the current process.
bool tokenValue(TOKEN_INFORMATION_CLASS kind, DWORD& value) {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  const UniqueHandle token(raw);
  DWORD size = 0;
  return GetTokenInformation(token.get(), kind, &value, sizeof(value), &size) != 0;
}

}  // namespace

ElevationType queryElevationType() {
  DWORD type = 0;
  if (!isNt6OrLater() || !tokenValue(TokenElevationType, type)) return ElevationType::undetermined;
  return static_cast<ElevationType>(type);
}

const wchar_t* elevationVerb() {
  DWORD elevated = 0;
  if (!isNt6OrLater() || (tokenValue(TokenElevation, elevated) && elevated != 0)) return nullptr;
  return L"runas";
}

bool runElevated(const std::wstring& program, const std::wstring& parameters, int showCommand,
                 std::optional<DWORD>& exitCode, const wchar_t* verb) {
  exitCode.reset();
  // The shell is bound by name, from the system folder, only for the one step that needs it.
  static constinit LazySystemEntry<decltype(&ShellExecuteExW)> shellExecuteEntry(L"shell32.dll", "ShellExecuteExW");
  const auto shellExecute = shellExecuteEntry.get();
  if (!shellExecute) return false;
  SHELLEXECUTEINFOW request{};
  request.cbSize = sizeof(request);
  request.fMask = SEE_MASK_NOCLOSEPROCESS;
  request.lpVerb = verb;
  request.lpFile = program.c_str();
  request.lpParameters = parameters.c_str();
  request.nShow = showCommand;
  if (!shellExecute(&request)) return false;
  if (!request.hProcess) return true;
  const UniqueHandle process(request.hProcess);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  if (GetExitCodeProcess(process.get(), &code)) exitCode = code;
  return true;
}
