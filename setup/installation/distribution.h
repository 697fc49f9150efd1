#pragma once
// What makes a folder of the unpacked tree a distribution of ours.
#include <string>

#include "installation/run_control.h"

// Package name patterns: the package of systems older than Vista, and every other one.
constexpr const wchar_t* kXpPackagePattern = L"*uorda*_xp*.msi";
constexpr const wchar_t* kPackagePattern = L"*uorda*.msi";

// A package's manufacturer is ours when it is empty or equals, as a whole and ignoring the case
// of the ASCII letters, one of "Kelm", "Kelm-Soft" and "Kelm LLC".
[[nodiscard]] bool isAcceptedManufacturer(const std::wstring& manufacturer);

// Whether a file name's extension (from its last dot) is one whose signature is checked beside
// the package's: ".cab", ".exe" or ".mst", ignoring the case of the ASCII letters.
[[nodiscard]] bool isCheckedExecutablePart(const std::wstring& name);
// Whether a file name matches kPackagePattern (and with it kXpPackagePattern), letters in any case.
[[nodiscard]] bool isPackageName(const std::wstring& name);

// What the search learned of the distribution it accepted.
struct Distribution {
  std::wstring folder;       // full path
  std::wstring packagePath;  // the package's name, in `folder`
  std::wstring productCode;  // from setup.ini's "ProductCode"; empty when it names none
  bool xpPackage = false;    // the "_xp" package was chosen (systems older than Vista)
};

enum class DistributionOutcome {
  found,
  declined,  // no folder was accepted, and the user declined at a signature question
  none,      // no folder was accepted
  cancelled  // a close request ended the search
};

struct DistributionSearch {
  DistributionOutcome outcome = DistributionOutcome::none;
  // The accepted distribution when found. Otherwise what the folders looked at told, each
  // keeping what an earlier one found where it tells nothing: the steps after a declined
  // signature still go by the product code that a setup.ini named.
  Distribution distribution;
};

// Searches the tree below `root`, depth first from `root` (the subfolders of a folder visited
// last-listed first, each with its whole subtree before the next), for the first folder that
// checkDistributionFolder accepts; each folder is made current while it is checked. Raises
// ConfigTooLargeError for a setup.ini too large to read, Failure "error occured while
// verifying distro recursive" for any other error.
[[nodiscard]] DistributionSearch searchDistribution(const std::wstring& root, const RunControl& run,
                                                    bool& checkSignatures);

enum class FolderVerdict { accepted, declined, rejected, cancelled };

// Checks the current folder: a package of ours (the "_xp" one before Vista, when there is one),
// its signature and those of the folder's .cab, .exe and .mst files through the signature gate
// on Windows 7 and later (declined when the user declines), the product code from setup.ini,
// and a database that answers for ProductVersion and names our manufacturer. Updates `found`
// (all but its folder) with what it finds as it goes: the package's name, the "_xp" choice
// (never cleared), the product code when setup.ini names one. A close request seen between two
// files' checks ends the check as cancelled.
[[nodiscard]] FolderVerdict checkDistributionFolder(Distribution& found, const RunControl& run, bool& checkSignatures);
