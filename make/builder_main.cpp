#include "builder_main.h"

#include <exception>

#include "builder_options.h"
#include "cmdline_parser.h"
#include "console.h"
#include "file_system.h"
#include "sfx_builder.h"
#include "source_date.h"
#include "text.h"

namespace {

class Options {
 public:
  explicit Options(std::vector<std::wstring> arguments) {
    parser_.setArguments(std::move(arguments));
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
  std::wstring archive, folder, outputFolder, setupFile, outputName, codePageText;
  const bool haveArchive = options.given(L"f", L"input-archive-file", archive);
  const bool haveFolder = options.given(L"d", L"input-directory", folder);
  const bool haveOutputFolder = options.given(L"o", L"output-directory", outputFolder);
  const bool haveSetupFile = options.given(L"s", L"input-setup-file", setupFile);
  const bool haveOutputName = options.given(L"c", L"output-setup-file", outputName);
  const bool haveCodePage = options.given(L"code-page", L"code-page", codePageText);

  if (options.helpSwitch() || (!haveArchive && !haveFolder)) {
    options.usage();
    return 0;
  }
  if (const SourceDate date = readSourceDate(); !date.valid) {
    printError("SOURCE_DATE_EPOCH is not a number of seconds: " + date.given);
    return 1;
  }

  unsigned codePage = defaultNameCodePage();
  if (haveCodePage) {
    const bool digits = codePageText.size() <= 5 &&
                        codePageText.find_first_not_of(L"0123456789") == std::wstring::npos;
    codePage = digits ? static_cast<unsigned>(std::stoul(codePageText)) : 0;
    if (codePage == 0 || !isKnownCodePage(codePage)) {
      printError(L"Unknown code page: " + codePageText);
      return 1;
    }
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
    if (!survivesNarrowing(setupFile, codePage)) {
      printError("Setup file name " + toNarrow(setupFile) + " cannot be written in code page " +
                 std::to_string(codePage));
      return 1;
    }
    builder.setSetupFileName(toNarrow(setupFile, codePage), codePage);
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

int runBuilder(std::vector<std::wstring> arguments) {
  try {
    return build(Options(std::move(arguments)));
  } catch (const std::exception& e) {
    printError(e.what());
    return 1;
  }
}
