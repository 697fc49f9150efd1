#pragma once
// Table-driven command-line parser of the builder. The program describes its switches, options
// and positional parameters in a static table of CmdLineEntry rows ending with an End row; the
// parser splits one raw command line into arguments, records what it meets, and afterwards
// answers whether a name was present and what value it carried. It also builds the usage text.
//
// Arguments whose first character is a switch character ("/" or "-") name a switch or option:
// "-d", "/d" (short names, matched by the longest prefix, any case) or "--input-directory"
// (long names, any case). Values follow a short name directly ("-ddist"), after ":" or "="
// ("-d:dist"), or as the next argument ("-d dist"); a long name needs "=" ("--name=dist").
// After a lone "--" every argument is positional.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class EntryKind : std::int32_t {
  Switch = 0,  // present or not, no value
  Option = 1,  // takes a value
  Param = 2,   // positional parameter
  End = 3,     // ends the table
};

enum class ValueType : std::int32_t {
  String = 0,
  Number = 1,  // signed decimal, clamped to the 32-bit range
  Date = 2,    // kept as the text given, not interpreted
};

enum class EntryFlags : std::int32_t {
  None = 0,
  Mandatory = 0x01,       // the option must be present, else the parse fails
  Optional = 0x02,        // the parameter may be absent (no effect on options)
  Multiple = 0x04,        // the parameter may repeat
  Help = 0x08,            // a switch that asks for help: the parse stops with -1
  NeedsSeparator = 0x10,  // a short option's value must follow ':', '=' or be the next argument
};

[[nodiscard]] constexpr EntryFlags operator|(EntryFlags a, EntryFlags b) {
  return static_cast<EntryFlags>(static_cast<std::int32_t>(a) | static_cast<std::int32_t>(b));
}

[[nodiscard]] constexpr bool hasFlag(EntryFlags set, EntryFlags flag) {
  return (static_cast<std::int32_t>(set) & static_cast<std::int32_t>(flag)) != 0;
}

// One row of a description table. Null name pointers count as empty names. A Param row uses
// only description (also its display name), valueType and flags.
struct CmdLineEntry {
  EntryKind kind;
  const wchar_t* shortName;
  const wchar_t* longName;
  const wchar_t* description;
  ValueType valueType;
  EntryFlags flags;
};

// A Switch or Option row together with what the last parse recorded for it.
struct CmdLineOption {
  EntryKind kind = EntryKind::Switch;
  std::wstring shortName;
  std::wstring longName;
  std::wstring description;
  ValueType valueType = ValueType::String;
  EntryFlags flags = EntryFlags::None;
  bool found = false;            // cleared at the start of every parse
  std::int32_t numberValue = 0;  // Number options
  std::wstring textValue;        // String and Date options (and unknown value types)
};

struct CmdLineParam {
  std::wstring description;
  ValueType valueType = ValueType::String;
  EntryFlags flags = EntryFlags::None;
};

class CmdLineParser {
 public:
  // Parse results.
  static constexpr std::int32_t kAccepted = 0;
  static constexpr std::int32_t kHelpRequested = -1;
  static constexpr std::int32_t kFailed = 1;

  CmdLineParser() = default;

  // Splits a raw command line into arguments. Spaces and tabs separate arguments outside
  // double quotes; an unescaped double quote toggles quoting and is dropped; a quote after an
  // unescaped backslash is kept together with that backslash. Backslashes are never removed.
  // A pair of quotes with nothing between them gives an empty argument.
  [[nodiscard]] static std::vector<std::wstring> splitCommandLine(std::wstring_view text);

  // Replaces the argument list (index 0 is the program path and is never parsed).
  void setCommandLine(std::wstring_view text);
  // Replaces the argument list with arguments already split (index 0 as above).
  void setArguments(std::vector<std::wstring> arguments) { arguments_ = std::move(arguments); }
  // Appends the table's Switch and Option rows to the options and its Param rows to the
  // parameters, in table order; reading stops at the first row of any other kind.
  void setDescription(const CmdLineEntry* table);
  // Printed as the first line of the usage text when not empty.
  void setBanner(std::wstring banner);
  // Characters that introduce a switch or option ("/-" by default).
  void setSwitchChars(std::wstring chars);

  // Parses the arguments. Returns kAccepted (0) when every argument was accepted and the
  // mandatory options and required parameters are present, kHelpRequested (-1) when a Help
  // switch stopped the parse, kFailed (1) otherwise. Parsing stops at the first error and
  // keeps what was recorded before it. With unknownIsError clear, an unknown switch or option
  // is skipped silently instead. Error lines are gathered in errorText(), never printed.
  [[nodiscard]] std::int32_t parse(bool unknownIsError);

  // Whether the named switch or option was recorded by the last parse. The name is looked up
  // among the short names first, then among the long names, ignoring case; an undeclared name
  // gives false. The second and third forms also copy the recorded value out when found.
  [[nodiscard]] bool found(std::wstring_view name) const;
  [[nodiscard]] bool found(std::wstring_view name, std::wstring& value) const;
  [[nodiscard]] bool found(std::wstring_view name, std::int32_t& value) const;

  // The positional arguments the last parse took, in order.
  [[nodiscard]] const std::vector<std::wstring>& paramValues() const { return paramValues_; }
  [[nodiscard]] const std::vector<std::wstring>& arguments() const { return arguments_; }
  // One line per error of the last parse, each ending with "\n"; empty when none.
  [[nodiscard]] const std::wstring& errorText() const { return errorText_; }

  // The usage line, then one help line per option: entry padded to the longest entry, a tab,
  // the description. Lines end with "\n".
  [[nodiscard]] std::wstring usageText() const;
  // Writes usageText() to the stream (the ANSI code page on Windows, UTF-8 elsewhere).
  void usage(std::FILE* out = stdout) const;

 private:
  [[nodiscard]] const CmdLineOption* lookup(std::wstring_view name) const;
  [[nodiscard]] bool isSwitchChar(wchar_t c) const;
  [[nodiscard]] bool parseNamed(const std::wstring& arg, std::size_t& index, bool unknownIsError,
                                bool& helpMet);
  [[nodiscard]] bool storeValue(CmdLineOption& option, const std::wstring& name,
                                const std::wstring& value);
  void addError(std::wstring line);

  std::wstring switchChars_ = L"/-";
  std::wstring banner_;
  std::vector<std::wstring> arguments_;
  std::vector<CmdLineOption> options_;
  std::vector<CmdLineParam> params_;
  std::vector<std::wstring> paramValues_;
  std::wstring errorText_;
};
