#pragma once
// What an archive entry's name may be, and where it lands: the rules the unpacker applies to
// every name before it creates anything.
#include <string>
#include <vector>

[[nodiscard]] bool isNameSeparator(char c);

// The entry names the unpacker refuses (`name` as UTF-8): absolute, drive, UNC and "\\?\"
// names, ":" (drive letters and data streams), components that climb (".." and the like: dots
// and spaces alone) and device names (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9, LPT0-9 and
// the superscript-digit spellings, whatever extension follows).
[[nodiscard]] bool isSafeEntryName(const std::string& name);

// Where an entry lands below the destination, as "\<component>..." (empty for none): the name
// split at "/" and "\", empty and "." components dropped, and trailing dots and spaces removed
// from each as the platform's path rules remove them ("a. \b." is "\a\b"), since extended
// paths keep them.
[[nodiscard]] std::wstring entryRelativePath(const std::string& name);
