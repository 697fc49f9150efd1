#pragma once
// The steps after a successful installation: where the product went, the certificate copy and
// the launcher's start. They report nothing and raise nothing; each says only whether it worked.
#include <atomic>
#include <string>

#include "postinstall/elevation.h"

// Where the installer service installed `productCode` (ending with a backslash); empty when it
// does not know or cannot be loaded.
[[nodiscard]] std::wstring queryInstallLocation(const std::wstring& productCode);

struct CertificateCopy {
  std::wstring distributionFolder;  // holds cacertnx.pem
  std::wstring installLocation;     // ends with a backslash; empty: nothing is copied
  std::wstring programFilesDir;     // below it the "bin" folder is protected; empty: everywhere
  std::wstring workFolder;          // the working folder that the distribution folder lies in
  bool mayElevate = true;           // false: a copy that needs elevation is not attempted
};

// Copies the distribution's cacertnx.pem into installLocation's "bin" folder, replacing one
// that is there: directly, or through the command interpreter started elevated when the folder
// is protected and the process lacks full rights (as `elevation` tells) and `mayElevate`. The file, and its
// folders up to the working folder, are held (see HeldFiles) from before the check that it is
// a regular file until the copy has ended. True when the file is
// in place. Only a regular file is copied (a folder of that name is not); the "bin" folder is
// not made.
[[nodiscard]] bool copyCertificate(const CertificateCopy& copy, const Elevation& elevation = {});

// Starts <installLocation>..\common\tarnel.exe, the path taken as it is (a "%" in it included),
// with nothing shown by the system when it cannot start, and waits, at most 15 s and no longer
// than until `cancel` is set, until it is ready for input. True when it started and became
// ready in time.
[[nodiscard]] bool startLauncher(const std::wstring& installLocation, const std::atomic<bool>& cancel);
