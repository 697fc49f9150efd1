#include "config/config_file.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "file_io.h"
#include "handles.h"
#include "system_library.h"
#include "text.h"

namespace {

enum class Mark { none, utf8, utf16le, bigEndian };

Mark markOf(std::string_view head) {
  if (head.substr(0, 3) == "\xEF\xBB\xBF") return Mark::utf8;
  if (head.substr(0, 2) == "\xFF\xFE") return Mark::utf16le;
  if (head.substr(0, 2) == "\xFE\xFF") return Mark::bigEndian;
  return Mark::none;
}

// Every sharing mode is allowed: a running launcher may hold the file open.
UniqueFile openForReading(const std::wstring& path) {
  return UniqueFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::wstring decode(std::string bytes, Mark mark) {
  switch (mark) {
    case Mark::utf16le: {
      // An odd last byte is half a character and is dropped.
      std::wstring text((bytes.size() - 2) / 2, L'\0');
      std::memcpy(text.data(), bytes.data() + 2, text.size() * sizeof(wchar_t));
      return text;
    }
    case Mark::utf8:
      // Text that is not UTF-8 after all (an old editor's Latin-1 behind the mark) gives nothing,
      // so that the file is unreadable rather than rewritten with replacement characters.
      bytes.erase(0, 3);
      return fromStrictUtf8(bytes);
    default:
      return toWide(bytes, CP_ACP);
  }
}

std::uint32_t foldedHash(std::wstring_view text, std::uint32_t seed = 0) {
  std::uint32_t hash = 2166136261u ^ seed;
  for (const wchar_t c : text) hash = (hash ^ foldAscii(c)) * 16777619u;
  return hash;
}

// Items of a list by the hash of their folded text, in an open-addressing table kept at most
// half full: finding or adding one takes about constant time and a few bytes per item.
// A slot's `entry` is the entry's position plus one, 0 in an empty slot.
template <typename Slot>
class SlotTable {
 public:
  // The slot of the item with `hash` for which `same` holds; otherwise the empty slot where it
  // belongs, which the caller fills.
  template <typename Same>
  Slot& find(std::uint32_t hash, Same same) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    for (size_t i = hash & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
      Slot& slot = slots_[i];
      if (slot.entry == 0) {
        ++count_;
        slot.hash = hash;
        return slot;
      }
      if (slot.hash == hash && same(slot)) return slot;
    }
  }

 private:
  void grow() {
    std::vector<Slot> old(std::max<size_t>(16, slots_.size() * 2));
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.entry == 0) continue;
      size_t i = slot.hash & (slots_.size() - 1);
      while (slots_[i].entry != 0) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  size_t count_ = 0;
};

struct KeySlot {
  std::uint32_t hash = 0, entry = 0;
};
struct ValueSlot {
  std::uint32_t hash = 0, entry = 0, value = 0;
};

// The entries of a list by their keys, compared ignoring case as the list compares them.
class KeyIndex {
 public:
  explicit KeyIndex(ConfigList& list) : list_(list) {
    for (size_t i = 0; i < list_.size(); ++i) (void)position(list_[i].key, i);
  }
  // The position of the entry with `key`; for a key not there yet, `next`, which is recorded
  // for it (the caller puts its entry there).
  size_t position(std::wstring_view key, size_t next) {
    KeySlot& slot = keys_.find(foldedHash(key), [&](const KeySlot& s) { return equalsIgnoringCase(list_[s.entry - 1].key, key); });
    if (slot.entry == 0) slot.entry = static_cast<std::uint32_t>(next + 1);
    return slot.entry - 1;
  }

 protected:
  ConfigList& list_;

 private:
  SlotTable<KeySlot> keys_;
};

// Adds pairs as addConfigValue does, with the keys and each entry's values indexed, so that a
// file of many lines (of many keys or of one) takes linear time.
class ListBuilder : private KeyIndex {
 public:
  explicit ListBuilder(ConfigList& list) : KeyIndex(list) {
    for (size_t i = 0; i < list_.size(); ++i) {
      for (size_t v = 0; v < list_[i].values.size(); ++v) (void)addValue(i, list_[i].values[v], v);
    }
  }

  void add(std::wstring_view key, std::wstring_view value) {
    const size_t entry = position(key, list_.size());
    if (entry == list_.size()) list_.push_back({std::wstring(key), {}});
    std::vector<std::wstring>& values = list_[entry].values;
    if (addValue(entry, value, values.size())) values.emplace_back(value);
  }

 private:
  // Records `value` as value `next` of the entry; false when the entry has it already.
  bool addValue(size_t entry, std::wstring_view value, size_t next) {
    ValueSlot& slot = values_.find(foldedHash(value, static_cast<std::uint32_t>(entry) * 2654435761u),
                                   [&](const ValueSlot& s) {
                                     return s.entry == entry + 1 && equalsIgnoringCase(list_[entry].values[s.value], value);
                                   });
    if (slot.entry != 0) return false;
    slot.entry = static_cast<std::uint32_t>(entry + 1);
    slot.value = static_cast<std::uint32_t>(next);
    return true;
  }

  SlotTable<ValueSlot> values_;
};

// One line per LF; a CR directly before the LF goes with it, any other CR is text. The first
// "=" splits key from value; a line with neither is skipped.
void parseLines(std::wstring_view text, ListBuilder& builder) {
  constexpr size_t npos = std::wstring_view::npos;
  for (size_t start = 0;;) {
    const size_t feed = text.find(L'\n', start);
    std::wstring_view line = text.substr(start, feed == npos ? npos : feed - start);
    if (feed != npos && !line.empty() && line.back() == L'\r') line.remove_suffix(1);
    const size_t equals = line.find(L'=');
    const std::wstring_view key = line.substr(0, equals);
    const std::wstring_view value = equals == npos ? std::wstring_view() : line.substr(equals + 1);
    if (!key.empty() || !value.empty()) builder.add(key, value);
    if (feed == npos) return;
    start = feed + 1;
  }
}

bool isMissingError(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// The lines of the list, each "key=value" and CR LF.
std::wstring formatLines(const ConfigList& list) {
  std::wstring text;
  for (const ConfigEntry& entry : list) {
    for (const std::wstring& value : entry.values) {
      text.append(entry.key).append(1, L'=').append(value).append(L"\r\n");
    }
  }
  return text;
}

std::string utf16Content(const std::wstring& text) {
  std::string bytes("\xFF\xFE", 2);
  bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
  return bytes;
}

// True when an existing file can be opened and begins with no mark: such a file stays ANSI.
bool keepsAnsi(const std::wstring& path) {
  UniqueFile file = openForReading(path);
  std::string head;
  return file && readUpTo(file.get(), head, 3) && markOf(head) == Mark::none;
}

bool setSize(HANDLE file, size_t size) {
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

bool writeFromStart(HANDLE file, const std::string& bytes) {
  LARGE_INTEGER start{};
  return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && writeAll(file, bytes.data(), bytes.size()) &&
         FlushFileBuffers(file) != 0;
}

// Rewrites a file that cannot be replaced because a program holds it open, sharing reading and
// writing with others but not its deletion. The old content is read first and the file grown
// to the larger of both sizes before anything is written, so that a disk without room fails
// before any byte changes; when writing fails all the same, the old content is put back.
bool rewriteInPlace(const std::wstring& path, const std::string& content) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string old;
  if (!file || !readUpTo(file.get(), old, kConfigFileLimit) || old.size() >= kConfigFileLimit) return false;
  if (!setSize(file.get(), std::max(old.size(), content.size()))) {
    (void)setSize(file.get(), old.size());
    return false;
  }
  if (writeFromStart(file.get(), content) && setSize(file.get(), content.size())) return true;
  (void)(writeFromStart(file.get(), old) && setSize(file.get(), old.size()));
  return false;
}

}  // namespace

ConfigTooLargeError::ConfigTooLargeError(const std::wstring& path)
    : Failure("file too large: " + toNarrow(path)) {}

bool addConfigValue(ConfigList& list, const std::wstring& key, const std::wstring& value) {
  for (ConfigEntry& entry : list) {
    if (!equalsIgnoringCase(entry.key, key)) continue;
    for (const std::wstring& existing : entry.values) {
      if (equalsIgnoringCase(existing, value)) return false;
    }
    entry.values.push_back(value);
    return true;
  }
  list.push_back({key, {value}});
  return true;
}

const std::vector<std::wstring>* findConfigValues(const ConfigList& list, const std::wstring& key) {
  for (const ConfigEntry& entry : list) {
    if (equalsIgnoringCase(entry.key, key)) return &entry.values;
  }
  return nullptr;
}

void setConfigValues(ConfigList& list, const std::wstring& key, const std::vector<std::wstring>& values) {
  for (ConfigEntry& entry : list) {
    if (equalsIgnoringCase(entry.key, key)) {
      entry.values = values;
      return;
    }
  }
  list.push_back({key, values});
}

void setAllConfigValues(ConfigList& list, const ConfigList& source) {
  KeyIndex index(list);
  for (const ConfigEntry& entry : source) {
    const size_t position = index.position(entry.key, list.size());
    if (position == list.size()) {
      list.push_back(entry);
    } else {
      list[position].values = entry.values;
    }
  }
}

std::wstring userConfigPath() {
  constexpr DWORD kLimit = 1024;
  wchar_t buffer[kLimit];
  // The variable's length without the terminator, or the size needed when it does not fit.
  const DWORD length = GetEnvironmentVariableW(L"APPDATA", buffer, kLimit);
  std::wstring base;
  if (length > 0 && length < kLimit) {
    base.assign(buffer, length);
  } else {
    // The shell is bound by name, from the system folder, only when it is needed.
    static constinit LazySystemEntry<decltype(&SHGetFolderPathW)> folderPath(L"shell32.dll", "SHGetFolderPathW");
    const auto getFolderPath = folderPath.get();
    wchar_t shell[MAX_PATH];
    if (getFolderPath && getFolderPath(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, shell) == S_OK && shell[0]) {
      base = shell;
    }
  }
  return base.empty() ? base : base + L"\\Kelm\\Tarnel\\Tarnel.cfg";
}

ConfigRead tryReadConfigFile(const std::wstring& path, ConfigList& list) {
  UniqueFile file = openForReading(path);
  if (!file) return isMissingError(GetLastError()) ? ConfigRead::missing : ConfigRead::unreadable;
  std::string bytes;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.get(), &size)) {
    if (size.QuadPart >= static_cast<LONGLONG>(kConfigFileLimit)) return ConfigRead::tooLarge;
    bytes.reserve(static_cast<size_t>(size.QuadPart));
  }
  // A file that grows while it is read is measured by what was read.
  if (!readUpTo(file.get(), bytes, kConfigFileLimit)) return ConfigRead::unreadable;
  if (bytes.size() >= kConfigFileLimit) return ConfigRead::tooLarge;
  file.reset();
  const Mark mark = markOf(bytes);
  if (mark == Mark::bigEndian) return ConfigRead::unreadable;
  // A conversion the platform rejected must not pass for an empty file.
  const bool mustConvert = mark != Mark::utf16le && bytes.size() > (mark == Mark::utf8 ? 3 : 0);
  const std::wstring text = decode(std::move(bytes), mark);
  if (mustConvert && text.empty()) return ConfigRead::unreadable;
  ListBuilder builder(list);
  parseLines(text, builder);
  return ConfigRead::read;
}

void readConfigFile(const std::wstring& path, ConfigList& list) {
  if (tryReadConfigFile(path, list) != ConfigRead::read) throw kConfigCannotRead;
}

void writeConfigFile(const std::wstring& path, const ConfigList& list) {
  bool ansi = keepsAnsi(path);
  const std::wstring text = formatLines(list);
  std::string content;
  if (ansi) {
    content = toNarrow(text);
    // Characters outside the code page would come back as others ("L" for "\u0141", "?" for
    // Cyrillic on code page 1252), and ANSI bytes that look like a mark would read back as
    // other text, or not at all.
    if (toWide(content) != text || markOf(content) != Mark::none) ansi = false;
  }
  if (!ansi) content = utf16Content(text);
  if (content.size() >= kConfigFileLimit) throw kConfigTooLarge;

  // A read-only file is not to be written; renaming over it would succeed on some systems.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) throw kConfigCannotOpenForWrite;
  DWORD replaceError = ERROR_SUCCESS;
  {
    // The new content is complete on the disk before it replaces anything.
    PendingFile fresh;
    UniqueFile file = fresh.create(path);
    if (!file) throw kConfigCannotOpenForWrite;
    if (!writeAll(file.get(), content.data(), content.size()) || !FlushFileBuffers(file.get())) {
      throw ansi ? kConfigAnsiWriteFailed : kConfigUtf16WriteFailed;
    }
    file.reset();
    if (fresh.replaceTarget()) return;
    replaceError = GetLastError();
  }
  // Held open by a program that did not allow its deletion: rewritten through a handle of our own.
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
      (replaceError == ERROR_SHARING_VIOLATION || replaceError == ERROR_ACCESS_DENIED) && rewriteInPlace(path, content)) {
    return;
  }
  throw kConfigCannotOpenForWrite;
}
