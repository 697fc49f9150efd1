#include "builder_main.h"

#include <windows.h>

#include <exception>

#include "builder_options.h"
#include "cmdline_parser.h"
#include "console.h"
#include "file_search.h"
#include "handles.h"
#include "sfx_builder.h"
#include "source_date.h"
#include "text.h"

namespace {

// A file-system search for exactly this path finds an entry. Trailing separators are dropped
// first: the search would not find "out\" although "out" exists. A drive root ("E:\", "E:") is
// no entry of any folder, so a search never finds it; its attributes tell that it exists.
bool pathExists(std::wstring path) {
  while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/') && path[path.size() - 2] != L':') {
    path.pop_back();
  }
  WIN32_FIND_DATAW data;
  const UniqueFind find(FindFirstFileW(path.c_str(), &data));
  return find || GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class Options {
 public:
  explicit Options(const std::wstring& commandLine) {
    parser_.setCommandLine(commandLine);
    parser_.setDescription(kBuilderOptions);
    // The result is not consulted: what was recorded before a bad argument is what counts.
    (void)parser_.parse(true);
  }
  // Present under the short or the long name, with a value that is not empty.
  bool given(const wchar_t* shortName, const wchar_t* longName, std::wstring& value) const {
    value.clear();
    if (!parser_.found(shortName, value)) (void)parser_.found(longName, value);
    return !value.empty();
  }
  bool helpSwitch() const { return parser_.found(L"h") || parser_.found(L"help"); }
  void usage() const { parser_.usage(); }

 private:
  CmdLineParser parser_;
};

int build(const Options& options) {
  std::wstring archive, folder, outputFolder, setupFile, outputName;
  const bool haveArchive = options.given(L"f", L"input-archive-file", archive);
  const bool haveFolder = options.given(L"d", L"input-directory", folder);
  const bool haveOutputFolder = options.given(L"o", L"output-directory", outputFolder);
  const bool haveSetupFile = options.given(L"s", L"input-setup-file", setupFile);
  const bool haveOutputName = options.given(L"c", L"output-setup-file", outputName);

  if (options.helpSwitch() || (!haveArchive && !haveFolder)) {
    options.usage();
    return 0;
  }
  if (const SourceDate date = readSourceDate(); !date.valid) {
    printError("SOURCE_DATE_EPOCH is not a number of seconds: " + date.given);
    return 1;
  }

  SfxBuilder builder;
  if (haveOutputFolder) {
    if (!pathExists(outputFolder)) {
      printError("Cannot find the output folder");
      return 1;
    }
    builder.setOutputFolder(outputFolder);
  }
  if (haveOutputName) {
    const SfxBuilder::OutputName taken = builder.setOutputFileName(outputName);
    if (taken == SfxBuilder::OutputName::NotExecutable) printError(toNarrow(outputName) + " must be an executable");
    if (taken != SfxBuilder::OutputName::Accepted) return 1;
  }
  if (haveSetupFile) {
    // The name is recorded in the system's code page: one that does not survive the conversion
    // would name a file that no setup program could find.
    if (!survivesNarrowing(setupFile)) {
      printError("Setup file name " + toNarrow(setupFile) + " cannot be written in code page " +
                 std::to_string(GetACP()));
      return 1;
    }
    builder.setSetupFileName(toNarrow(setupFile));
  }

  bool built = false;
  if (haveArchive) {
    builder.setDeleteArchive(false);  // the user's archive is never deleted
    if (!pathExists(archive)) {
      printError("Cannot find the input file");
      return 1;
    }
    if (lowerExtension(archive) != ".zip") {
      printError("File " + toNarrow(archive) + " is not a zip archive");
      return 1;
    }
    built = builder.buildFromArchive(archive);
  } else {
    if (!pathExists(folder) || !isFolder(folder)) {
      printError("Cannot find the input folder");
      return 1;
    }
    built = builder.buildFromFolder(folder);
  }
  return built ? 0 : 1;
}

}  // namespace

int runBuilder(const std::wstring& commandLine) {
  try {
    return build(Options(commandLine));
  } catch (const std::exception& e) {
    printError(e.what());
    return 1;
  }
}
