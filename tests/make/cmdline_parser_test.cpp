#include "cmdline_parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "builder_options.h"

namespace {

using Args = std::vector<std::wstring>;

// A value the parse should have recorded under a name; a null text means "not recorded".
struct Recorded {
  const wchar_t* name;
  const wchar_t* text;
};

struct ParseCase {
  const wchar_t* commandLine;
  std::int32_t result;
  const wchar_t* errors;
  std::vector<Recorded> recorded;
};

std::string show(const std::wstring& text) { return testing::PrintToString(text); }

void expectRecorded(const CmdLineParser& parser, const std::vector<Recorded>& recorded) {
  for (const Recorded& expected : recorded) {
    SCOPED_TRACE(show(expected.name));
    std::wstring value = L"<untouched>";
    const bool found = parser.found(expected.name, value);
    if (expected.text) {
      EXPECT_TRUE(found);
      EXPECT_EQ(value, expected.text);
    } else {
      EXPECT_FALSE(found);
      EXPECT_EQ(value, L"<untouched>");
    }
  }
}

void runParseCases(const CmdLineEntry* table, bool unknownIsError,
                   const std::vector<ParseCase>& cases) {
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(show(c.commandLine));
    CmdLineParser parser;
    parser.setDescription(table);
    parser.setCommandLine(c.commandLine);
    EXPECT_EQ(parser.parse(unknownIsError), c.result);
    EXPECT_EQ(parser.errorText(), c.errors);
    expectRecorded(parser, c.recorded);
  }
}

TEST(CmdLineParserTest, SplitsCommandLines) {
  struct Case {
    const wchar_t* text;
    Args args;
  };
  const std::vector<Case> cases = {
      {L"", {}},
      {L" \t  ", {}},
      {L"prog", {L"prog"}},
      {L"  prog\ta\t\tb  ", {L"prog", L"a", L"b"}},
      {L"prog a\nb", {L"prog", L"a\nb"}},  // only spaces and tabs separate
      {L"prog \"C:\\Program Files\\dist\" -s x",
       {L"prog", L"C:\\Program Files\\dist", L"-s", L"x"}},
      {L"prog a\"b c\"d", {L"prog", L"ab cd"}},
      {L"prog \"tab\there\"", {L"prog", L"tab\there"}},
      {L"prog \"\" x", {L"prog", L"", L"x"}},
      {L"prog \"\"", {L"prog", L""}},
      {L"prog \"unterminated text", {L"prog", L"unterminated text"}},
      // An escaped quote is kept with its backslash and does not toggle quoting.
      {L"prog \\\"x\\\" y", {L"prog", L"\\\"x\\\"", L"y"}},
      {L"prog \"a \\\"b\\\" c\"", {L"prog", L"a \\\"b\\\" c"}},
      // Backslashes are never removed.
      {L"prog C:\\dir\\file a\\\\b", {L"prog", L"C:\\dir\\file", L"a\\\\b"}},
      // Two backslashes leave the following quote active.
      {L"prog \"a\\\\\" b", {L"prog", L"a\\\\", L"b"}},
      {L"prog a\\\\\\\"b", {L"prog", L"a\\\\\\\"b"}},
      // A backslash before the closing quote escapes it: the rest is swallowed.
      {L"prog -d \"C:\\dist\\\" -s setup.exe", {L"prog", L"-d", L"C:\\dist\\\" -s setup.exe"}},
      // A trailing backslash still escapes the quote that starts the next argument.
      {L"prog a\\ \"b c\"", {L"prog", L"a\\", L"\"b", L"c"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(show(c.text));
    EXPECT_EQ(CmdLineParser::splitCommandLine(c.text), c.args);
    CmdLineParser parser;
    parser.setCommandLine(c.text);
    EXPECT_EQ(parser.arguments(), c.args);
  }
}

TEST(CmdLineParserTest, ParsesBuilderCommandLines) {
  const std::vector<ParseCase> cases = {
      {L"prog", 0, L"", {{L"d", nullptr}, {L"h", nullptr}}},
      {L"prog -ddist", 0, L"", {{L"d", L"dist"}, {L"input-directory", L"dist"}}},
      {L"prog -d:dist", 0, L"", {{L"d", L"dist"}}},
      {L"prog -d=dist", 0, L"", {{L"d", L"dist"}}},
      {L"prog /d dist", 0, L"", {{L"d", L"dist"}}},
      {L"prog -D dist", 0, L"", {{L"d", L"dist"}, {L"D", L"dist"}}},
      {L"prog --input-directory=dist", 0, L"", {{L"d", L"dist"}, {L"INPUT-directory", L"dist"}}},
      {L"prog --INPUT-DIRECTORY=dist", 0, L"", {{L"input-directory", L"dist"}}},
      {L"prog -d \"C:\\Program Files\\dist\"", 0, L"", {{L"d", L"C:\\Program Files\\dist"}}},
      {L"prog -d a -d b", 0, L"", {{L"d", L"b"}}},
      {L"prog -d=", 0, L"", {{L"d", L""}}},
      {L"prog -d:", 0, L"", {{L"d", L""}}},
      {L"prog --input-directory=", 0, L"", {{L"d", L""}}},
      {L"prog -d==x", 0, L"", {{L"d", L"=x"}}},
      // The value after an option is taken even when it looks like an option.
      {L"prog -d -s", 0, L"", {{L"d", L"-s"}, {L"s", nullptr}}},
      {L"prog -d --", 0, L"", {{L"d", L"--"}}},
      // "dh" is no short name; its longest declared prefix is "d".
      {L"prog -dh", 0, L"", {{L"d", L"h"}, {L"h", nullptr}}},
      {L"prog -o:out -c=setup.exe -f a.zip /s setup.exe",
       0,
       L"",
       {{L"o", L"out"},
        {L"c", L"setup.exe"},
        {L"f", L"a.zip"},
        {L"s", L"setup.exe"},
        {L"d", nullptr}}},
      {L"prog -- --", 0, L"", {}},
      {L"prog -d dist -- --", 0, L"", {{L"d", L"dist"}}},
      {L"prog --input-directory dist -s x",
       1,
       L"Option 'input-directory' requires a value, '=' expected.\n",
       {{L"d", nullptr}, {L"s", nullptr}}},
      {L"prog --input-directory:dist",
       1,
       L"Option 'input-directory' requires a value, '=' expected.\n",
       {{L"d", nullptr}}},
      {L"prog -s x -d", 1, L"Option \"d\" requires a value.\n", {{L"s", L"x"}, {L"d", nullptr}}},
      {L"prog -hx", 1, L"Unexpected characters following option \"h\"\n", {{L"h", nullptr}}},
      {L"prog --help=yes",
       1,
       L"Unexpected characters following option \"help\"\n",
       {{L"h", nullptr}}},
      {L"prog -s a -x -d dist", 1, L"Unknown option x\n", {{L"s", L"a"}, {L"d", nullptr}}},
      {L"prog --x -d dist", 1, L"Unknown long option x\n", {{L"d", nullptr}}},
      {L"prog --bogus -d dist", 1, L"Unknown long option bogus\n", {{L"d", nullptr}}},
      // The short form stops its name at '-', and no prefix of "input" is a short name.
      {L"prog /input-directory=dist", 1, L"Unknown option input\n", {{L"d", nullptr}}},
      {L"prog -s a dist -d dist",
       1,
       L"Unexpected parameter 'dist'\n",
       {{L"s", L"a"}, {L"d", nullptr}}},
      {L"prog -- -d dist", 1, L"Unexpected parameter '-d'\n", {{L"d", nullptr}}},
      {L"prog -", 1, L"Unexpected parameter '-'\n", {}},
      {L"prog -d \"C:\\dist\\\" -s setup.exe",
       0,
       L"",
       {{L"d", L"C:\\dist\\\" -s setup.exe"}, {L"s", nullptr}}},
      {L"prog -h", -1, L"", {{L"h", L""}}},
      {L"prog --HELP", -1, L"", {{L"help", L""}}},
      // Help stops the parse: later options are not recorded.
      {L"prog -d dist /h -s x", -1, L"", {{L"d", L"dist"}, {L"h", L""}, {L"s", nullptr}}},
  };
  runParseCases(kBuilderOptions, true, cases);
}

TEST(CmdLineParserTest, SkipsUnknownOptionsWhenAllowed) {
  const std::vector<ParseCase> cases = {
      {L"prog -x -d dist", 0, L"", {{L"d", L"dist"}}},
      {L"prog --bogus=1 -s s --x", 0, L"", {{L"s", L"s"}}},
      {L"prog /zz -h", -1, L"", {{L"h", L""}}},
      // Only unknown names are forgiven.
      {L"prog -x -hx -d dist",
       1,
       L"Unexpected characters following option \"h\"\n",
       {{L"d", nullptr}}},
      {L"prog -x word", 1, L"Unexpected parameter 'word'\n", {}},
  };
  runParseCases(kBuilderOptions, false, cases);
}

TEST(CmdLineParserTest, ParsesShortNamesSeparatorsAndNumbers) {
  const CmdLineEntry table[] = {
      {EntryKind::Option, L"o", L"output", L"output file", ValueType::String,
       EntryFlags::NeedsSeparator},
      {EntryKind::Option, L"out", L"out-dir", L"output folder", ValueType::String,
       EntryFlags::None},
      {EntryKind::Option, L"n", L"count", L"how many", ValueType::Number, EntryFlags::None},
      {EntryKind::Option, L"t", L"time", L"when", ValueType::Date, EntryFlags::None},
      {EntryKind::End, nullptr, nullptr, nullptr, ValueType::String, EntryFlags::None},
  };
  const std::vector<ParseCase> textCases = {
      {L"prog -outx", 0, L"", {{L"out", L"x"}, {L"o", nullptr}}},
      {L"prog -OUT=dir", 0, L"", {{L"out-dir", L"dir"}, {L"output", nullptr}}},
      {L"prog -out dir", 0, L"", {{L"out", L"dir"}}},
      {L"prog -o x", 0, L"", {{L"o", L"x"}, {L"out", nullptr}}},
      {L"prog -o:x", 0, L"", {{L"o", L"x"}}},
      {L"prog -O=x", 0, L"", {{L"output", L"x"}}},
      {L"prog -ox", 1, L"Separator expected after the option o\n", {{L"o", nullptr}}},
      {L"prog -ou", 1, L"Separator expected after the option o\n", {{L"o", nullptr}}},
      {L"prog -t 2024-01-31", 0, L"", {{L"t", L"2024-01-31"}}},
      {L"prog --time=yesterday", 0, L"", {{L"time", L"yesterday"}}},
  };
  runParseCases(table, true, textCases);

  struct NumberCase {
    const wchar_t* commandLine;
    std::int32_t result;
    const wchar_t* errors;
    bool found;
    std::int32_t value;
  };
  const std::vector<NumberCase> numberCases = {
      {L"prog -n 42", 0, L"", true, 42},
      {L"prog -n:-17", 0, L"", true, -17},
      {L"prog --count=+8", 0, L"", true, 8},
      {L"prog -n \" \t +8\"", 0, L"", true, 8},
      {L"prog -n00012", 0, L"", true, 12},
      {L"prog -n 12abc", 0, L"", true, 12},
      {L"prog -n 2147483647", 0, L"", true, 2147483647},
      {L"prog -n 2147483648", 0, L"", true, 2147483647},
      {L"prog -n 99999999999", 0, L"", true, 2147483647},
      {L"prog -n 123456789012345678901234567890", 0, L"", true, 2147483647},
      {L"prog -n -2147483648", 0, L"", true, INT32_MIN},
      {L"prog -n -2147483649", 0, L"", true, INT32_MIN},
      {L"prog -n -99999999999999999999", 0, L"", true, INT32_MIN},
      {L"prog -n 5 -n 6", 0, L"", true, 6},
      {L"prog -n abc", 1, L"abc is not a correct numeric value for option n\n", false, 0},
      {L"prog --count=x1", 1, L"x1 is not a correct numeric value for option count\n", false, 0},
      {L"prog -N \"- 5\"", 1, L"- 5 is not a correct numeric value for option N\n", false, 0},
      {L"prog -n \"\"", 1, L" is not a correct numeric value for option n\n", false, 0},
      // The failed second value leaves the first one recorded.
      {L"prog -n 3 -n +", 1, L"+ is not a correct numeric value for option n\n", true, 3},
  };
  for (const NumberCase& c : numberCases) {
    SCOPED_TRACE(show(c.commandLine));
    CmdLineParser parser;
    parser.setDescription(table);
    parser.setCommandLine(c.commandLine);
    EXPECT_EQ(parser.parse(true), c.result);
    EXPECT_EQ(parser.errorText(), c.errors);
    std::int32_t value = -1;
    EXPECT_EQ(parser.found(L"count", value), c.found);
    if (c.found) {
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST(CmdLineParserTest, ChecksMandatoryOptionsAndParameters) {
  struct Case {
    const wchar_t* commandLine;
    std::int32_t result;
    const wchar_t* errors;
    Args params;
  };
  struct Group {
    const char* name;
    std::vector<CmdLineEntry> table;
    std::vector<Case> cases;
  };
  const CmdLineEntry end = {EntryKind::End, nullptr,           nullptr,
                            nullptr,        ValueType::String, EntryFlags::None};
  const std::vector<Group> groups = {
      {"mandatory option",
       {{EntryKind::Option, L"i", L"input", L"input", ValueType::String, EntryFlags::Mandatory},
        {EntryKind::Switch, L"h", L"help", L"help", ValueType::String, EntryFlags::Help},
        end},
       {
           {L"prog -i x", 0, L"", {}},
           {L"prog", 1, L"", {}},  // a missing option fails without a line
           {L"prog -h", -1, L"", {}},
           {L"prog -i", 1, L"Option \"i\" requires a value.\n", {}},
       }},
      {"source then files...",
       {{EntryKind::Option, L"o", L"output", L"output", ValueType::String, EntryFlags::None},
        {EntryKind::Param, nullptr, nullptr, L"source", ValueType::String, EntryFlags::None},
        {EntryKind::Param, nullptr, nullptr, L"files", ValueType::String, EntryFlags::Multiple},
        end},
       {
           {L"prog a b c", 0, L"", {L"a", L"b", L"c"}},
           {L"prog a -o x b -- -c", 0, L"", {L"a", L"b", L"-c"}},
           {L"prog a", 1, L"The required parameter 'files' was not specified.\n", {L"a"}},
           {L"prog", 1, L"The required parameter 'source' was not specified.\n", {}},
           {L"prog a b -z", 1, L"Unknown option z\n", {L"a", L"b"}},
       }},
      {"input then [output]",
       {{EntryKind::Param, nullptr, nullptr, L"input", ValueType::String, EntryFlags::None},
        {EntryKind::Param, nullptr, nullptr, L"output", ValueType::String, EntryFlags::Optional},
        end},
       {
           {L"prog a", 0, L"", {L"a"}},
           {L"prog a b", 0, L"", {L"a", L"b"}},
           {L"prog a b c", 1, L"Unexpected parameter 'c'\n", {L"a", L"b"}},
           {L"prog", 1, L"The required parameter 'input' was not specified.\n", {}},
       }},
      {"a repeating parameter that is not last keeps every argument",
       {{EntryKind::Param, nullptr, nullptr, L"files", ValueType::String, EntryFlags::Multiple},
        {EntryKind::Param, nullptr, nullptr, L"target", ValueType::String, EntryFlags::None},
        end},
       {
           {L"prog a b", 1, L"The required parameter 'files' was not specified.\n", {L"a", L"b"}},
       }},
      {"mandatory option checked before parameters",
       {{EntryKind::Option, L"i", nullptr, L"input", ValueType::String, EntryFlags::Mandatory},
        {EntryKind::Param, nullptr, nullptr, L"files", ValueType::String, EntryFlags::Multiple},
        end},
       {
           {L"prog", 1, L"", {}},
           {L"prog -i x", 1, L"The required parameter 'files' was not specified.\n", {}},
           {L"prog -i x a", 0, L"", {L"a"}},
       }},
  };
  for (const Group& group : groups) {
    SCOPED_TRACE(group.name);
    for (const Case& c : group.cases) {
      SCOPED_TRACE(show(c.commandLine));
      CmdLineParser parser;
      parser.setDescription(group.table.data());
      parser.setCommandLine(c.commandLine);
      EXPECT_EQ(parser.parse(true), c.result);
      EXPECT_EQ(parser.errorText(), c.errors);
      EXPECT_EQ(parser.paramValues(), c.params);
    }
  }
}

TEST(CmdLineParserTest, LooksUpShortNamesBeforeLongNames) {
  const CmdLineEntry table[] = {
      {EntryKind::Option, L"a", L"b", L"first", ValueType::String, EntryFlags::None},
      {EntryKind::Option, L"b", L"c", L"second", ValueType::String, EntryFlags::None},
      {EntryKind::End, nullptr, nullptr, nullptr, ValueType::String, EntryFlags::None},
  };
  const std::vector<ParseCase> cases = {
      {L"prog -a 1", 0, L"", {{L"a", L"1"}, {L"b", nullptr}, {L"c", nullptr}, {L"zz", nullptr}}},
      {L"prog --b=1", 0, L"", {{L"a", L"1"}, {L"b", nullptr}}},
      {L"prog -b 2", 0, L"", {{L"B", L"2"}, {L"c", L"2"}, {L"a", nullptr}}},
  };
  runParseCases(table, true, cases);

  // A second parse starts from nothing recorded.
  CmdLineParser parser;
  parser.setDescription(kBuilderOptions);
  parser.setCommandLine(L"prog -d dist -x");
  EXPECT_EQ(parser.parse(true), 1);
  parser.setCommandLine(L"prog -s setup.exe");
  EXPECT_EQ(parser.parse(true), 0);
  EXPECT_EQ(parser.errorText(), L"");
  expectRecorded(parser, {{L"d", nullptr}, {L"s", L"setup.exe"}});
}

const wchar_t kBuilderUsage[] =
    L"Usage:  [/d <str>] [/s <str>] [/f <str>] [/o <str>] [/c <str>] [--code-page <str>] [/h]\n"
    L"/d, --input-directory=<str>   \tinput directory\n"
    L"/s, --input-setup-file=<str>  \tinput setup file\n"
    L"/f, --input-archive-file=<str>\tinput zip archive file\n"
    L"/o, --output-directory=<str>  \toutput directory, default: current directory\n"
    L"/c, --output-setup-file=<str> \toutput setup file name, default: Pondrel.exe\n"
    L"  --code-page=<str>           \tcode page of the setup file name, default: the system's ANSI code page (1252 "
    L"outside Windows)\n"
    L"/h, --help                    \tUsage\n";

TEST(CmdLineParserTest, BuildsUsageText) {
  const CmdLineEntry end = {EntryKind::End, nullptr,           nullptr,
                            nullptr,        ValueType::String, EntryFlags::None};
  const std::vector<CmdLineEntry> mixed = {
      {EntryKind::Option, L"n", L"count", L"how many", ValueType::Number, EntryFlags::Mandatory},
      {EntryKind::Option, nullptr, L"when", L"start date", ValueType::Date, EntryFlags::None},
      {EntryKind::Option, L"x", nullptr, L"extra", ValueType::String, EntryFlags::None},
      {EntryKind::Switch, L"v", nullptr, L"verbose", ValueType::Number, EntryFlags::Mandatory},
      {EntryKind::Switch, nullptr, L"quiet", L"quiet", ValueType::String, EntryFlags::None},
      {EntryKind::Option, L"k", L"kind", L"odd type", static_cast<ValueType>(7), EntryFlags::None},
      {EntryKind::Param, nullptr, nullptr, L"source", ValueType::String, EntryFlags::None},
      {EntryKind::Param, nullptr, nullptr, L"files", ValueType::String, EntryFlags::Multiple},
      {EntryKind::Param, nullptr, nullptr, L"rest", ValueType::String,
       EntryFlags::Optional | EntryFlags::Multiple},
      {EntryKind::Param, nullptr, nullptr, L"log", ValueType::String, EntryFlags::Optional},
      end,
  };
  const std::vector<CmdLineEntry> cutShort = {
      {EntryKind::Switch, L"a", nullptr, L"first", ValueType::String, EntryFlags::None},
      {static_cast<EntryKind>(9), L"b", nullptr, L"ignored", ValueType::String, EntryFlags::None},
      {EntryKind::Switch, L"c", nullptr, L"never loaded", ValueType::String, EntryFlags::None},
      end,
  };
  struct Case {
    const char* name;
    std::vector<CmdLineEntry> table;
    const wchar_t* banner;
    const wchar_t* switchChars;
    const wchar_t* usage;
  };
  const std::vector<Case> cases = {
      {"builder",
       {std::begin(kBuilderOptions), std::end(kBuilderOptions)},
       L"",
       nullptr,
       kBuilderUsage},
      {"builder with banner",
       {std::begin(kBuilderOptions), std::end(kBuilderOptions)},
       L"PondrelMake 1.0",
       nullptr,
       L"PondrelMake 1.0\n"
       L"Usage:  [/d <str>] [/s <str>] [/f <str>] [/o <str>] [/c <str>] [--code-page <str>] [/h]\n"
       L"/d, --input-directory=<str>   \tinput directory\n"
       L"/s, --input-setup-file=<str>  \tinput setup file\n"
       L"/f, --input-archive-file=<str>\tinput zip archive file\n"
       L"/o, --output-directory=<str>  \toutput directory, default: current directory\n"
       L"/c, --output-setup-file=<str> \toutput setup file name, default: Pondrel.exe\n"
       L"  --code-page=<str>           \tcode page of the setup file name, default: the system's ANSI code page "
       L"(1252 outside Windows)\n"
       L"/h, --help                    \tUsage\n"},
      {"mixed", mixed, L"", nullptr,
       L"Usage:  /n <num> [--when <date>] [/x <str>] /v [--quiet] [/k <str>] source files... "
       L"[rest...] [log]\n"
       L"/n, --count=<num>\thow many\n"
       L"  --when=<date>  \tstart date\n"
       L"/x:<str>         \textra\n"
       L"/v               \tverbose\n"
       L"  --quiet        \tquiet\n"
       L"/k, --kind=<str> \todd type\n"},
      {"dash first", cutShort, L"", L"-/", L"Usage:  [-a]\n-a\tfirst\n"},
      {"no switch characters", cutShort, L"", L"", L"Usage:  [-a]\n-a\tfirst\n"},
      {"empty", {end}, L"", nullptr, L"Usage: \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CmdLineParser parser;
    parser.setDescription(c.table.data());
    parser.setBanner(c.banner);
    if (c.switchChars) parser.setSwitchChars(c.switchChars);
    EXPECT_EQ(parser.usageText(), c.usage);
  }
}

TEST(CmdLineParserTest, WritesUsageBytes) {
  CmdLineParser parser;
  parser.setDescription(kBuilderOptions);
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  parser.usage(file);
  std::rewind(file);
  std::string written;
  char buffer[256];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
    written.append(buffer, n);
  std::fclose(file);
  const std::wstring expected = kBuilderUsage;
  EXPECT_EQ(written, std::string(expected.begin(), expected.end()));
}

}  // namespace
