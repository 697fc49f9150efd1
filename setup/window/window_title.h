#pragma once
#include <string>

// The window title for a program started as `programPath`: the file name without folder,
// without an alternate-stream suffix and without its last extension. "." and ".." keep their
// dots, a name whose only dot leads keeps it, and a trailing dot goes with nothing after it.
[[nodiscard]] std::wstring windowTitleFromPath(const std::wstring& programPath);

// The first argument of a command line, split as the platform splits a program's own path:
// up to the closing quotation mark when it begins with one, else up to the first space or tab.
// (Done here: the shell's splitter would bring the shell into the process at start-up.)
[[nodiscard]] std::wstring firstArgument(const std::wstring& commandLine);
