// The certificate copy after an installation: the distribution's cacertnx.pem goes into the
// "bin" folder of the installed product, through an elevated command interpreter where the
// folder is protected and the process lacks the rights.
#include "postinstall/post_install.h"

#include "file_io.h"
#include "installation/held_files.h"
#include "installation/msi_library.h"
#include "run_log.h"
#include "system_library.h"

namespace {

constexpr const wchar_t* kCertificate = L"cacertnx.pem";

bool sameContents(const std::wstring& a, const std::wstring& b) {
  constexpr size_t kLimit = size_t{1} << 26;
  std::string first, second;
  return readWholeFile(a, first, kLimit) && readWholeFile(b, second, kLimit) && first == second;
}

// The interpreter expands %NAME% even inside quotation marks, and a quotation mark would end a
// quoted path: a path holding either could make COPY read or write somewhere else.
bool safeForInterpreter(const std::wstring& path) { return path.find_first_of(L"%\"") == std::wstring::npos; }

// Copies through the command interpreter, started elevated. The interpreter is named by its
// full path in the system folder, so that a cmd.exe in the current folder (the unpacked
// distribution) is never the one that runs elevated. /D keeps AutoRun commands out, /V:OFF
// delayed expansion of "!".
bool copyElevated(const std::wstring& source, const std::wstring& folder, const std::wstring& destination,
                  const wchar_t* verb) {
  if (!safeForInterpreter(source) || !safeForInterpreter(folder)) return false;
  const std::wstring interpreter = systemFolderPath(L"cmd.exe");
  if (interpreter.empty()) return false;
  const std::wstring parameters = L"/D /V:OFF /C COPY \"" + source + L"\" \"" + folder + L"\" /Y /V";
  std::optional<DWORD> exitCode;
  if (!runElevated(interpreter, parameters, SW_HIDE, exitCode, verb)) {
    run_log::line("certificate: the elevated copy did not start (error %lu)", GetLastError());
    return false;
  }
  // Without a process to ask, only the file itself can tell whether the copy was made.
  const bool copied = exitCode ? *exitCode == 0 : sameContents(source, destination);
  run_log::line("certificate: elevated copy %s, interpreter's exit code %ld", copied ? L"made" : L"failed",
                exitCode ? static_cast<long>(*exitCode) : -1L);
  return copied;
}

bool copyDirectly(const std::wstring& source, const std::wstring& destination) {
  const bool copied = CopyFileW(source.c_str(), destination.c_str(), FALSE) != 0;
  run_log::line("certificate: direct copy to %s %s (error %lu)", destination.c_str(), copied ? L"made" : L"failed",
                copied ? 0UL : GetLastError());
  return copied;
}

}  // namespace

std::wstring queryInstallLocation(const std::wstring& productCode) {
  MsiLibrary msi;
  std::wstring location;
  if (msi.load()) msi.productInfo(productCode, L"InstallLocation", location);
  return location;
}

bool copyCertificate(const CertificateCopy& copy, const Elevation& elevation) {
  if (copy.installLocation.empty()) return false;
  const std::wstring source = copy.distributionFolder + L"\\" + kCertificate;
  const std::wstring folder = copy.installLocation + L"bin\\";
  const std::wstring destination = folder + kCertificate;
  // Letter case counts, and without a Program Files folder to go by every place counts.
  const bool isProtected =
      copy.programFilesDir.empty() || copy.installLocation.find(copy.programFilesDir) != std::wstring::npos;
  // Only a regular file is copied: the interpreter would copy a folder's files in its place.
  // Held, it stays the file that was looked at until the copy, elevated or not, has read it.
  HeldFiles held(copy.workFolder);
  const HANDLE file = held.hold(source);
  BY_HANDLE_FILE_INFORMATION info;
  if (!file || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT))) {
    run_log::line("certificate: %s is no regular file that can be held", source.c_str());
    return false;
  }
  switch (elevation.type()) {
    case ElevationType::full:
    case ElevationType::undetermined:
      return copyDirectly(source, destination);
    case ElevationType::standard:
    case ElevationType::limited:
      if (!isProtected) return copyDirectly(source, destination);
      if (!copy.mayElevate) {
        run_log::line("certificate: %s needs elevation, which a quiet run does not ask for", folder.c_str());
        return false;
      }
      return copyElevated(source, folder, destination, elevation.verb());
  }
  return false;
}
