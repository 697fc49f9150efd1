#pragma once
// Merging a distribution's launcher settings into the user's own launcher file.
#include <atomic>
#include <string>

// Reads the distribution's file and the user's file (userConfigPath), gives every key of the
// distribution's file the distribution's values in the user's list (the user's entries keep
// their place and spelling; new keys follow in the distribution's order) and writes the user's
// file. When the first write fails, the folders "Kelm" and "Kelm\Tarnel" are created and the
// write is made once more. Merged when the user's file was written. The whole read, merge and
// write holds the user's file against other setup programs merging into it (for a minute at
// most), so that none of them loses what another wrote; it takes time linear in both files.
// Failed, with the user's file exactly as it was, when the distribution's file cannot be read,
// when the user's file exists but cannot be read (locked, no access, the FE FF mark), when
// either file or the merged one would reach kConfigFileLimit, when no place for the user's file
// is known, when another merge holds the file too long, when both writes fail, or when
// `cancel` is set before the write (cancelled, with the file as it was). A missing user's file is
// a fresh start. Raises only what the platform's memory raises.
struct LauncherMerge {
  enum class Outcome { merged, failed, cancelled } outcome = Outcome::failed;
  // When failed, the error text (ANSI code page) naming the file: "can't read launcher file:
  // <path>", "file too large: <path>" or "can't write launcher file: <path>".
  std::string failure;
  [[nodiscard]] bool merged() const { return outcome == Outcome::merged; }
};
[[nodiscard]] LauncherMerge mergeLauncherConfigFile(const std::wstring& distributionFile,
                                                    const std::atomic<bool>* cancel = nullptr);
