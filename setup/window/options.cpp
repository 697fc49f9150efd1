#include "window/options.h"

#include "text.h"
#include "window/window_title.h"

namespace {

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The option's name without its "/" or "-", folded; empty for what is no option.
std::wstring optionName(const std::wstring& argument) {
  if (argument.size() < 2 || (argument[0] != L'/' && argument[0] != L'-')) return {};
  return foldAscii(std::wstring_view(argument).substr(1));
}

}  // namespace

std::vector<std::wstring> splitArguments(const std::wstring& commandLine) {
  std::vector<std::wstring> arguments{firstArgument(commandLine)};
  size_t at = arguments[0].size() + (!commandLine.empty() && commandLine[0] == L'"' ? 2 : 0);
  for (;;) {
    while (at < commandLine.size() && isBlank(commandLine[at])) ++at;
    if (at >= commandLine.size()) break;
    std::wstring argument;
    bool quoted = false;
    for (; at < commandLine.size() && (quoted || !isBlank(commandLine[at])); ++at) {
      const wchar_t c = commandLine[at];
      if (c == L'\\') {
        size_t slashes = 0;
        while (at < commandLine.size() && commandLine[at] == L'\\') ++slashes, ++at;
        if (at < commandLine.size() && commandLine[at] == L'"') {
          argument.append(slashes / 2, L'\\');
          if (slashes % 2) {
            argument += L'"';
            continue;
          }
        } else {
          argument.append(slashes, L'\\');
        }
        --at;
      } else if (c == L'"') {
        if (quoted && at + 1 < commandLine.size() && commandLine[at + 1] == L'"') {
          argument += L'"';
          quoted = false;
          ++at;
        } else {
          quoted = !quoted;
        }
      } else {
        argument += c;
      }
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

Options parseOptions(const std::vector<std::wstring>& arguments) {
  Options options;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::wstring name = optionName(arguments[i]);
    if (name == L"quiet") {
      options.quiet = true;
    } else if (name == L"?") {
      options.help = true;
    } else if (name == L"log") {
      options.log = true;
      // The next argument is its path unless it is an option of ours.
      if (i + 1 < arguments.size()) {
        const std::wstring next = optionName(arguments[i + 1]);
        if (next != L"quiet" && next != L"?" && next != L"log") options.logPath = arguments[++i];
      }
    } else {
      options.ignored.push_back(arguments[i]);
    }
  }
  return options;
}
