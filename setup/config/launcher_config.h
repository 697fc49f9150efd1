#pragma once
// Merging a distribution's launcher settings into the user's own launcher file.
#include <string>

// Reads the distribution's file and the user's file (userConfigPath), gives every key of the
// distribution's file the distribution's values in the user's list (the user's entries keep
// their place and spelling; new keys follow in the distribution's order) and writes the user's
// file. When the first write fails, the folders "Kelm" and "Kelm\Tarnel" are created and the
// write is made once more. True when the user's file was written.
// False, with the user's file exactly as it was, when the distribution's file cannot be read,
// when the user's file exists but cannot be read (locked, no access, the FE FF mark), when no
// place for the user's file is known, or when both writes fail. A missing user's file is a
// fresh start. Raises only what the platform's memory raises.
[[nodiscard]] bool mergeLauncherConfigFile(const std::wstring& distributionFile);
