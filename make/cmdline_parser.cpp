#include "cmdline_parser.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "text.h"

namespace {

bool isNameChar(wchar_t c, bool longForm) {
  if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9')) return true;
  return c == L'_' || c == L'?' || (longForm && c == L'-');
}

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool isLeadingSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

// Reads a signed decimal number from the start of the text the way the C library does:
// leading white space and one sign, then digits up to the first non-digit. Values outside the
// 32-bit range saturate instead of wrapping. Empty when no digit follows.
std::optional<std::int32_t> readNumber(std::wstring_view text) {
  std::size_t i = 0;
  while (i < text.size() && isLeadingSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  const std::int64_t limit =
      negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
               : std::numeric_limits<std::int32_t>::max();
  std::int64_t magnitude = 0;
  bool anyDigit = false;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    anyDigit = true;
    magnitude = std::min<std::int64_t>(magnitude * 10 + (text[i] - L'0'), limit);
  }
  if (!anyDigit) return std::nullopt;
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

const wchar_t* placeholder(ValueType type) {
  switch (type) {
    case ValueType::Number:
      return L"<num>";
    case ValueType::Date:
      return L"<date>";
    default:
      return L"<str>";
  }
}

std::wstring orEmpty(const wchar_t* text) { return text ? std::wstring(text) : std::wstring(); }

}  // namespace

std::vector<std::wstring> CmdLineParser::splitCommandLine(std::wstring_view text) {
  std::vector<std::wstring> args;
  bool inQuotes = false;
  // Not reset between arguments: only a character that goes into an argument clears it.
  bool escaped = false;
  std::size_t i = 0;
  while (true) {
    while (i < text.size() && isBlank(text[i])) ++i;
    if (i >= text.size()) break;
    std::wstring arg;
    for (; i < text.size(); ++i) {
      const wchar_t c = text[i];
      if (c == L'"') {
        if (escaped) {
          arg += c;  // the backslash before it is already in the argument
          escaped = false;
        } else {
          inQuotes = !inQuotes;
        }
        continue;
      }
      if (!inQuotes && isBlank(c)) {
        ++i;
        break;
      }
      arg += c;
      // "\\" leaves a following quote active: the second backslash is itself escaped.
      escaped = c == L'\\' && !escaped;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

void CmdLineParser::setCommandLine(std::wstring_view text) { arguments_ = splitCommandLine(text); }

void CmdLineParser::setDescription(const CmdLineEntry* table) {
  for (const CmdLineEntry* row = table; row; ++row) {
    if (row->kind == EntryKind::Switch || row->kind == EntryKind::Option) {
      CmdLineOption option;
      option.kind = row->kind;
      option.shortName = orEmpty(row->shortName);
      option.longName = orEmpty(row->longName);
      option.description = orEmpty(row->description);
      option.valueType = row->valueType;
      option.flags = row->flags;
      options_.push_back(std::move(option));
    } else if (row->kind == EntryKind::Param) {
      params_.push_back(CmdLineParam{orEmpty(row->description), row->valueType, row->flags});
    } else {
      break;
    }
  }
}

void CmdLineParser::setBanner(std::wstring banner) { banner_ = std::move(banner); }

void CmdLineParser::setSwitchChars(std::wstring chars) { switchChars_ = std::move(chars); }

bool CmdLineParser::isSwitchChar(wchar_t c) const {
  return switchChars_.find(c) != std::wstring::npos;
}

void CmdLineParser::addError(std::wstring line) {
  errorText_ += line;
  errorText_ += L'\n';
}

std::int32_t CmdLineParser::parse(bool unknownIsError) {
  for (CmdLineOption& option : options_) option.found = false;
  paramValues_.clear();
  errorText_.clear();
  bool mayBeOption = true;
  bool ok = true;
  bool helpMet = false;
  std::size_t currentParam = 0;
  bool repeatableSeen = false;

  for (std::size_t index = 1; ok && index < arguments_.size(); ++index) {
    const std::wstring& arg = arguments_[index];
    if (arg == L"--") {
      mayBeOption = false;
      continue;
    }
    if (mayBeOption && arg.size() >= 2 && isSwitchChar(arg[0])) {
      ok = parseNamed(arg, index, unknownIsError, helpMet);
      continue;
    }
    if (currentParam >= params_.size()) {
      addError(L"Unexpected parameter '" + arg + L"'");
      ok = false;
      continue;
    }
    paramValues_.push_back(arg);
    if (hasFlag(params_[currentParam].flags, EntryFlags::Multiple)) {
      repeatableSeen = true;
    } else {
      ++currentParam;
    }
  }

  if (ok) {
    for (const CmdLineOption& option : options_) {
      if (hasFlag(option.flags, EntryFlags::Mandatory) && !option.found) {
        ok = false;  // reported by the result only, without a line of text
        break;
      }
    }
  }
  if (ok) {
    for (std::size_t i = currentParam; i < params_.size(); ++i) {
      const CmdLineParam& param = params_[i];
      const bool isLast = i + 1 == params_.size();
      if (hasFlag(param.flags, EntryFlags::Optional) ||
          (isLast && hasFlag(param.flags, EntryFlags::Multiple) && repeatableSeen)) {
        continue;
      }
      addError(L"The required parameter '" + param.description + L"' was not specified.");
      ok = false;
      break;
    }
  }
  if (ok) return kAccepted;
  return helpMet ? kHelpRequested : kFailed;
}

// Handles one argument that starts with a switch character; may consume the next argument as
// a value (advancing index). Returns false when the parse must stop.
bool CmdLineParser::parseNamed(const std::wstring& arg, std::size_t& index, bool unknownIsError,
                               bool& helpMet) {
  const bool longForm = arg.size() >= 2 && arg[0] == L'-' && arg[1] == L'-';
  const std::size_t nameStart = longForm ? 2 : 1;
  std::size_t nameEnd = nameStart;
  while (nameEnd < arg.size() && isNameChar(arg[nameEnd], longForm)) ++nameEnd;
  std::wstring name = arg.substr(nameStart, nameEnd - nameStart);

  CmdLineOption* option = nullptr;
  if (longForm) {
    for (CmdLineOption& candidate : options_) {
      if (!candidate.longName.empty() && equalsIgnoringCase(candidate.longName, name)) {
        option = &candidate;
        break;
      }
    }
  } else {
    // "-output" must pick "out" over "o" when both are declared: try the longest prefix first.
    for (std::size_t length = name.size(); length > 0 && !option; --length) {
      const std::wstring_view prefix(name.data(), length);
      for (CmdLineOption& candidate : options_) {
        if (!candidate.shortName.empty() && equalsIgnoringCase(candidate.shortName, prefix)) {
          option = &candidate;
          name.resize(length);
          nameEnd = nameStart + length;
          break;
        }
      }
    }
  }
  if (!option) {
    if (!unknownIsError) return true;
    addError((longForm ? L"Unknown long option " : L"Unknown option ") + name);
    return false;
  }

  const std::wstring rest = arg.substr(nameEnd);
  if (option->kind == EntryKind::Switch) {
    if (!rest.empty()) {
      addError(L"Unexpected characters following option \"" + name + L"\"");
      return false;
    }
    option->found = true;
    if (hasFlag(option->flags, EntryFlags::Help)) {
      helpMet = true;
      return false;
    }
    return true;
  }

  if (longForm) {
    if (rest.empty() || rest[0] != L'=') {
      addError(L"Option '" + name + L"' requires a value, '=' expected.");
      return false;
    }
    return storeValue(*option, name, rest.substr(1));
  }
  if (rest.empty()) {
    if (index + 1 >= arguments_.size()) {
      addError(L"Option \"" + name + L"\" requires a value.");
      return false;
    }
    return storeValue(*option, name, arguments_[++index]);
  }
  if (rest[0] == L':' || rest[0] == L'=') return storeValue(*option, name, rest.substr(1));
  if (hasFlag(option->flags, EntryFlags::NeedsSeparator)) {
    addError(L"Separator expected after the option " + name);
    return false;
  }
  return storeValue(*option, name, rest);
}

bool CmdLineParser::storeValue(CmdLineOption& option, const std::wstring& name,
                               const std::wstring& value) {
  if (option.valueType == ValueType::Number) {
    const std::optional<std::int32_t> number = readNumber(value);
    if (!number) {
      addError(value + L" is not a correct numeric value for option " + name);
      return false;
    }
    option.numberValue = *number;
  } else {
    option.textValue = value;
  }
  option.found = true;
  return true;
}

const CmdLineOption* CmdLineParser::lookup(std::wstring_view name) const {
  if (name.empty()) return nullptr;
  for (const CmdLineOption& option : options_) {
    if (equalsIgnoringCase(option.shortName, name)) return &option;
  }
  for (const CmdLineOption& option : options_) {
    if (equalsIgnoringCase(option.longName, name)) return &option;
  }
  return nullptr;
}

bool CmdLineParser::found(std::wstring_view name) const {
  const CmdLineOption* option = lookup(name);
  return option && option->found;
}

bool CmdLineParser::found(std::wstring_view name, std::wstring& value) const {
  const CmdLineOption* option = lookup(name);
  if (!option || !option->found) return false;
  value = option->textValue;
  return true;
}

bool CmdLineParser::found(std::wstring_view name, std::int32_t& value) const {
  const CmdLineOption* option = lookup(name);
  if (!option || !option->found) return false;
  value = option->numberValue;
  return true;
}

std::wstring CmdLineParser::usageText() const {
  const wchar_t switchChar = switchChars_.empty() ? L'-' : switchChars_[0];
  std::wstring text;
  if (!banner_.empty()) text += banner_ + L'\n';
  // The program name is left empty; the first option still brings its own leading space.
  text += L"Usage: ";

  std::vector<std::wstring> entries;
  entries.reserve(options_.size());
  for (const CmdLineOption& option : options_) {
    const bool mandatory = hasFlag(option.flags, EntryFlags::Mandatory);
    const bool takesValue = option.kind == EntryKind::Option;
    const std::wstring value = placeholder(option.valueType);
    text += L' ';
    if (!mandatory) text += L'[';
    if (!option.shortName.empty()) {
      text += switchChar;
      text += option.shortName;
    } else {
      text += L"--" + option.longName;
    }
    if (takesValue) text += L' ' + value;
    if (!mandatory) text += L']';

    std::wstring entry;
    if (!option.shortName.empty()) {
      entry += switchChar;
      entry += option.shortName;
    }
    if (!option.longName.empty()) {
      entry += option.shortName.empty() ? L"  --" : L", --";
      entry += option.longName;
    }
    if (takesValue) entry += (option.longName.empty() ? L":" : L"=") + value;
    entries.push_back(std::move(entry));
  }
  for (const CmdLineParam& param : params_) {
    const bool optional = hasFlag(param.flags, EntryFlags::Optional);
    text += L' ';
    if (optional) text += L'[';
    text += param.description;
    if (hasFlag(param.flags, EntryFlags::Multiple)) text += L"...";
    if (optional) text += L']';
  }
  text += L'\n';

  std::size_t width = 0;
  for (const std::wstring& entry : entries) width = std::max(width, entry.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    text += entries[i];
    text.append(width - entries[i].size(), L' ');
    text += L'\t';
    text += options_[i].description;
    text += L'\n';
  }
  return text;
}

void CmdLineParser::usage(std::FILE* out) const {
  const std::string bytes = toNarrow(usageText());
  std::fwrite(bytes.data(), 1, bytes.size(), out);
  std::fflush(out);
}
