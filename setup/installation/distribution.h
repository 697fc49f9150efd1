#pragma once
// What makes a folder of the unpacked tree a distribution of ours.
#include <string>

// Package name patterns: the package of systems older than Vista, and every other one.
constexpr const wchar_t* kXpPackagePattern = L"*uorda*_xp*.msi";
constexpr const wchar_t* kPackagePattern = L"*uorda*.msi";

// A package's manufacturer is ours when it is empty or equals, as a whole and ignoring the case
// of the ASCII letters, one of "Kelm", "Kelm-Soft" and "Kelm LLC".
[[nodiscard]] bool isAcceptedManufacturer(const std::wstring& manufacturer);

// Whether a file name's extension (from its last dot) is one whose signature is checked beside
// the package's: ".cab", ".exe" or ".mst", ignoring the case of the ASCII letters.
[[nodiscard]] bool isCheckedExecutablePart(const std::wstring& name);
