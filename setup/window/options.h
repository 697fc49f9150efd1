#pragma once
// The setup program's options. Each is matched ignoring the case of its letters and may begin
// with "/" or "-"; what the program does not know is ignored (and logged), as it always was.
//   /log <path>  the log goes to <path> instead of the temporary folder
//   /quiet       nothing is shown and nothing waits for a person
//   /?           a box lists the options; nothing else is done
#include <string>
#include <vector>

struct Options {
  bool quiet = false;
  bool help = false;
  bool log = false;      // /log was given
  std::wstring logPath;  // the path after it; empty when none followed
  std::vector<std::wstring> ignored;
};

// Splits a command line as the platform's CommandLineToArgvW does: the program's path up to its
// closing quotation mark or first blank, the rest at blanks outside quotation marks, where 2n
// backslashes before a quotation mark give n and open or close the quotation, 2n + 1 give n and
// a quotation mark, and "" inside a quotation gives one and ends the quotation.
[[nodiscard]] std::vector<std::wstring> splitArguments(const std::wstring& commandLine);

// The options in `arguments`, the program's path first.
[[nodiscard]] Options parseOptions(const std::vector<std::wstring>& arguments);
