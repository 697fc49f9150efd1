#pragma once
// The run's log and its outcome. The log is a UTF-8 text file, one line per step, each line led
// by the seconds since the process started; it is written as the run goes, so a run that is
// killed leaves what it did so far. Writing it never fails a run: a log that cannot be made is
// skipped, and one that stops taking lines is closed. No step logs anything secret (the program
// holds nothing secret). The outcome is the code a quiet run exits with; interactive runs log it
// and keep their own exit codes.
#include <windows.h>

#include <cstdint>
#include <string>

namespace exit_code {
constexpr std::uint32_t success = 0;
constexpr std::uint32_t signatureRefused = 101;  // declined, or not verified and nobody asked
constexpr std::uint32_t archiveUnreadable = 102;
constexpr std::uint32_t cannotStart = 103;  // the setup file is missing, or it or setup.exe did not start
constexpr std::uint32_t noDistribution = 104;
constexpr std::uint32_t mergeFailed = 105;
constexpr std::uint32_t certificateNotCopied = 106;
// A setup file or installer that failed with one of the codes above as its own.
constexpr std::uint32_t installerFailed = 107;
constexpr std::uint32_t diskFull = 112;  // the platform's ERROR_DISK_FULL
constexpr std::uint32_t closed = 1602;   // the installer service's "cancelled by the user"
constexpr std::uint32_t otherError = 1603;  // the installer service's "fatal error"

// The code a quiet run passes on for a setup file or installer that ended with `code`: its own,
// or installerFailed where it would read as one of this program's codes from 101 to 112.
[[nodiscard]] std::uint32_t forInstaller(std::uint32_t code);
// What a code means, for the log: "success", "close request", "code of the installer", ...
[[nodiscard]] const wchar_t* meaning(std::uint32_t code);
}  // namespace exit_code

namespace run_log {

// The newest logs kept in the temporary folder, this run's included.
constexpr int kKeptLogs = 10;

// Where the log goes: `requested` (from /log) when it names a file whose folder exists and can
// be written, else "Pondrel <title> <yyyy-mm-dd hh-mm-ss>.log" in `defaultFolder`, a number
// added when a log of that name is there already; of the logs named so in `defaultFolder` the
// newest kKeptLogs stay (the installer service's logs beside them go with them). False when no
// log could be made: the run goes on without one. The first lines say where it went and why.
bool open(const std::wstring& title, const std::wstring& requested, const std::wstring& defaultFolder,
          const SYSTEMTIME& now);
// Closes the log; lines after it go nowhere.
void close();
[[nodiscard]] bool active();
// The log's path; empty when there is none.
[[nodiscard]] std::wstring path();
// The installer service's log beside it: the log's name with " installer" before its extension.
[[nodiscard]] std::wstring installerLogPath();

// Writes one line, formatted as the C library's wide printf formats: `format` is ASCII, and its
// %s take wide text. Safe from any thread; does nothing without a log.
void line(const char* format, ...) noexcept;
// Milliseconds since the process started.
[[nodiscard]] std::uint32_t elapsedMilliseconds();

// Keeps `code` as the run's outcome unless one was kept already: the first thing that decided
// how the run ends is what it ends with.
void setOutcome(std::uint32_t code) noexcept;
[[nodiscard]] std::uint32_t outcome() noexcept;

}  // namespace run_log
