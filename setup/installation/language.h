#pragma once
// The installer's language: which language transform a distribution's package gets, and the
// installer properties that carry the user's language to it.
#include <windows.h>

#include <string>

struct InstallerLanguage {
  const wchar_t* transformNumber;  // names the transform file: "1049" gives 1049.mst
  const wchar_t* code;             // DEFLANGUAGE
};

// By the primary language of a language identifier (its low 10 bits). Georgian users get the
// English transform with their own code, Kazakh users the Russian one; every language not in the
// table, English among them, gets the English transform and "auto".
[[nodiscard]] InstallerLanguage languageFor(LANGID language);

// "1049.mst", or "1049_xp.mst" for the package of systems older than Vista.
[[nodiscard]] std::wstring transformFileName(const InstallerLanguage& language, bool xpPackage);

// "LIMITUI=1 TRANSFORMS=<transform> DEFLANGUAGE=<code>"; without a transform (empty) the
// TRANSFORMS property is left out and two spaces stand between the others.
[[nodiscard]] std::wstring installerProperties(const InstallerLanguage& language, const std::wstring& transform);
