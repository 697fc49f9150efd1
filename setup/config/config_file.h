#pragma once
// Key and value files: the launcher's per-user Tarnel.cfg and a distribution's setup.ini.
// A file is lines of key "=" value; the first "=" splits, nothing is trimmed, a line without
// "=" is a key with an empty value, empty lines are ignored. Keys compare ignoring the case of
// the ASCII letters only; several lines with one key make one entry with several values.
//
// Encodings on reading, by the first bytes: EF BB BF is UTF-8, FF FE is UTF-16LE (an odd last
// byte is dropped), FE FF is refused as unreadable, anything else (an empty file too) is the
// ANSI code page. Every byte counts: NUL and 0x1A are ordinary characters, and a carriage
// return is dropped only directly before a line feed. A UTF-8 file that holds anything but valid
// UTF-8 is unreadable (it is never rewritten with replacement characters); unpaired UTF-16
// surrogates are kept as they are.
#include <string>
#include <vector>

#include "failure.h"

// One key with its values, in the order they were added. The key is spelled as where it first
// appeared and may be empty; an entry read from a file has at least one value.
struct ConfigEntry {
  std::wstring key;
  std::vector<std::wstring> values;

  bool operator==(const ConfigEntry& other) const { return key == other.key && values == other.values; }
  bool operator!=(const ConfigEntry& other) const { return !(*this == other); }
};

// Entries in the order their keys first appeared; no two keys are equal ignoring case.
using ConfigList = std::vector<ConfigEntry>;

// Failure codes, raised as plain int by the reader and the writer.
constexpr int kConfigCannotRead = 1;           // the file cannot be opened or read
constexpr int kConfigCannotOpenForWrite = 2;   // the file cannot be created or replaced
constexpr int kConfigUtf16WriteFailed = 3;     // writing the new content failed (UTF-16 file)
constexpr int kConfigAnsiWriteFailed = 4;      // writing the new content failed (ANSI file)
constexpr int kConfigTooLarge = 5;             // the new content would reach kConfigFileLimit

// Files of this many bytes or more are neither read nor written, in the 32-bit and the 64-bit
// build alike: a launcher file or setup.ini holds a few kilobytes, and a list read from the
// shortest lines takes some 25 times its file's size in memory; a merge of two such lists and
// the text written from them stay well below the 2 GiB of a 32-bit process.
constexpr size_t kConfigFileLimit = size_t{16} << 20;

// What a file over the limit raises where its reader reports errors by text:
// "file too large: <path>" (ANSI code page).
class ConfigTooLargeError : public Failure {
 public:
  explicit ConfigTooLargeError(const std::wstring& path);
};

// Adds the pair: appended to the entry whose key equals `key` ignoring case unless that entry
// already has a value equal to `value` ignoring case, else a new entry at the end. True when
// the list changed.
bool addConfigValue(ConfigList& list, const std::wstring& key, const std::wstring& value);

// The values of the entry whose key equals `key` ignoring case; null when there is none. Valid
// until the list changes.
[[nodiscard]] const std::vector<std::wstring>* findConfigValues(const ConfigList& list, const std::wstring& key);

// Gives the key exactly `values`: an existing entry keeps its place and its key's spelling;
// otherwise a new entry is appended.
void setConfigValues(ConfigList& list, const std::wstring& key, const std::vector<std::wstring>& values);

// setConfigValues for every entry of `source` in order, in time linear in both lists.
void setAllConfigValues(ConfigList& list, const ConfigList& source);

// The user's launcher file: APPDATA (when it has 1 to 1023 characters), else the user's roaming
// application-data folder from the shell, followed by "\Kelm\Tarnel\Tarnel.cfg". Empty when
// neither is known: the file is never placed at the root of the current drive.
[[nodiscard]] std::wstring userConfigPath();

// What reading found. `missing`: neither the file nor its folder exists. `unreadable`: something
// is there but cannot be opened or read (locked, no access, a folder, the FE FF mark, the UTF-8
// mark before bytes that are not UTF-8).
// `tooLarge`: kConfigFileLimit bytes or more. The list is left as it was unless the result is
// `read`. Reading takes time linear in the file's size.
enum class ConfigRead { read, missing, unreadable, tooLarge };
[[nodiscard]] ConfigRead tryReadConfigFile(const std::wstring& path, ConfigList& list);

// Adds the file's pairs to `list` in file order, as addConfigValue does. Raises
// kConfigCannotRead when the file is missing, unreadable or too large.
void readConfigFile(const std::wstring& path, ConfigList& list);

// Replaces the file with the list's lines, one per value, "key=value" and CR LF each. An
// existing readable file without a mark (an empty one too) is written in the ANSI code page
// without a mark; anything else as FF FE and UTF-16LE. Text that the code page cannot carry
// unchanged (a character outside it), and ANSI text that would itself begin with one of the
// three marks, is written as UTF-16LE instead, so that every character reads back the same.
// The content goes to a fresh file beside the target ("<name>.<process>-<n>.new"), which then
// replaces the target in one step: whatever fails, even when the process is killed, the file at
// `path` is the complete old one or the complete new one. A reported failure leaves no fresh
// file behind; a killed process may. A target that a program holds open without delete sharing
// (as the C runtime opens files) cannot be replaced: it is rewritten in place instead, once its
// old content has been read and room made for the new one, and the old content is put back
// when writing fails. Raises kConfigCannotOpenForWrite when the target is read-only or the
// fresh file cannot be made or can neither replace nor rewrite the target (a folder in the way,
// a handle open on it without write sharing), kConfigUtf16WriteFailed or kConfigAnsiWriteFailed
// when writing the fresh file fails (a full disk), kConfigTooLarge before anything is written
// when the content would reach kConfigFileLimit.
void writeConfigFile(const std::wstring& path, const ConfigList& list);
