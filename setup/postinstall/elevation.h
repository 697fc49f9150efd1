#pragma once
// Elevation: whether the system has user account control, how elevated this process is, and
// starting a program with elevation where the process lacks it.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

// The token's elevation type (the platform's first three values) or undetermined.
enum class ElevationType : std::uint32_t {
  standard = 1,      // neither split nor elevated: account control off, or a standard user
  full = 2,          // the process runs elevated
  limited = 3,       // an administrator's filtered token
  undetermined = 4,  // older than Windows NT 6, or the token cannot be read
};

[[nodiscard]] ElevationType queryElevationType();

// The verb that starts a program elevated: none before Windows NT 6 or when the process already
// runs elevated, "runas" otherwise (a token that cannot be read included), so that the platform
// asks for consent or an administrator's credentials.
[[nodiscard]] const wchar_t* elevationVerb();

// Starts `program` with `parameters` and `showCommand` through the shell with `verb` (from
// elevationVerb), waits for it to end and sets `exitCode`. False when the shell could not
// start it (the user declined, say). True with no `exitCode` when the shell handled the
// request without handing back a process.
// How elevated the process is, and the verb that would elevate it; tests stand in for the
// platform's answers.
struct Elevation {
  ElevationType (*type)() = queryElevationType;
  const wchar_t* (*verb)() = elevationVerb;
};

[[nodiscard]] bool runElevated(const std::wstring& program, const std::wstring& parameters, int showCommand,
                               std::optional<DWORD>& exitCode, const wchar_t* verb = elevationVerb());
