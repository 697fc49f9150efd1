#include "config/config_file.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "handles.h"
#include "text.h"
#include "text.h"

namespace {

// The platform converts at most 2 GiB in one call; no launcher file comes anywhere near this.
constexpr size_t kMaxFileBytes = size_t{1} << 30;
constexpr size_t kWriteChunk = size_t{1} << 20;

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

// Appends up to `limit` bytes from the current position, fewer at the end of the file. False
// when a read fails.
bool readUpTo(HANDLE file, std::string& bytes, size_t limit) {
  char buffer[65536];
  while (bytes.size() < limit) {
    const DWORD wanted = static_cast<DWORD>(std::min(sizeof(buffer), limit - bytes.size()));
    DWORD read = 0;
    if (!ReadFile(file, buffer, wanted, &read, nullptr)) return false;
    if (read == 0) break;
    bytes.append(buffer, read);
  }
  return true;
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
      // Invalid sequences become U+FFFD, which writes and reads back as itself.
      bytes.erase(0, 3);
      return toWide(bytes, CP_UTF8);
    default:
      return toWide(bytes, CP_ACP);
  }
}

// Adds pairs as addConfigValue does, through an index of the folded keys and values, so that a
// file of many lines takes linear time instead of a scan of the whole list per line.
class ListBuilder {
 public:
  explicit ListBuilder(ConfigList& list) : list_(list) {
    for (const ConfigEntry& entry : list_) {
      keys_.try_emplace(foldAscii(entry.key), values_.size());
      std::unordered_set<std::wstring>& values = values_.emplace_back();
      for (const std::wstring& value : entry.values) values.insert(foldAscii(value));
    }
  }

  void add(std::wstring_view key, std::wstring_view value) {
    const auto [found, isNew] = keys_.try_emplace(foldAscii(key), list_.size());
    if (isNew) {
      list_.push_back({std::wstring(key), {std::wstring(value)}});
      values_.emplace_back().insert(foldAscii(value));
    } else if (values_[found->second].insert(foldAscii(value)).second) {
      list_[found->second].values.emplace_back(value);
    }
  }

 private:
  ConfigList& list_;
  std::unordered_map<std::wstring, size_t> keys_;
  std::vector<std::unordered_set<std::wstring>> values_;
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

// A file created beside the target for its new content. Removed on destruction unless it has
// replaced the target.
class FreshFile {
 public:
  explicit FreshFile(const std::wstring& target) {
    static std::atomic<unsigned> counter{0};
    // Bounded: a name is taken only by an earlier fresh file that was never removed.
    for (int attempt = 0; attempt < 100 && !file_; ++attempt) {
      path_ = target + L"." + decimalText(GetCurrentProcessId()) + L"-" + decimalText(counter++) + L".new";
      file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
      const DWORD error = file_ ? ERROR_SUCCESS : GetLastError();
      if (error != ERROR_SUCCESS && error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
  }
  FreshFile(const FreshFile&) = delete;
  FreshFile& operator=(const FreshFile&) = delete;
  ~FreshFile() {
    file_.reset();
    if (!committed_ && !path_.empty()) DeleteFileW(path_.c_str());
  }

  [[nodiscard]] bool created() const { return file_.valid(); }

  // Writes everything and flushes it to the disk, so that the file is complete before it
  // replaces anything.
  [[nodiscard]] bool write(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      const DWORD chunk = static_cast<DWORD>(std::min(bytes.size() - done, kWriteChunk));
      DWORD written = 0;
      if (!WriteFile(file_.get(), bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
      done += written;
    }
    return FlushFileBuffers(file_.get()) != 0;
  }

  [[nodiscard]] bool replace(const std::wstring& target) {
    file_.reset();
    committed_ = MoveFileExW(path_.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    return committed_;
  }

 private:
  std::wstring path_;
  UniqueFile file_;
  bool committed_ = false;
};

}  // namespace

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

std::wstring userConfigPath() {
  constexpr DWORD kLimit = 1024;
  wchar_t buffer[kLimit];
  // The variable's length without the terminator, or the size needed when it does not fit.
  const DWORD length = GetEnvironmentVariableW(L"APPDATA", buffer, kLimit);
  std::wstring base;
  if (length > 0 && length < kLimit) {
    base.assign(buffer, length);
  } else {
    wchar_t shell[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, shell) == S_OK && shell[0]) base = shell;
  }
  return base.empty() ? base : base + L"\\Kelm\\Tarnel\\Tarnel.cfg";
}

ConfigRead tryReadConfigFile(const std::wstring& path, ConfigList& list) {
  UniqueFile file = openForReading(path);
  if (!file) return isMissingError(GetLastError()) ? ConfigRead::missing : ConfigRead::unreadable;
  std::string bytes;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.get(), &size) && size.QuadPart < static_cast<LONGLONG>(kMaxFileBytes)) {
    bytes.reserve(static_cast<size_t>(size.QuadPart));
  }
  if (!readUpTo(file.get(), bytes, kMaxFileBytes) || bytes.size() >= kMaxFileBytes) return ConfigRead::unreadable;
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
    if (content.empty() != text.empty()) throw kConfigAnsiWriteFailed;
    // ANSI bytes that look like a mark would read back as other text, or not at all.
    if (markOf(content) != Mark::none) ansi = false;
  }
  if (!ansi) content = utf16Content(text);

  // A read-only file is not to be written; renaming over it would succeed on some systems.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) throw kConfigCannotOpenForWrite;
  FreshFile fresh(path);
  if (!fresh.created()) throw kConfigCannotOpenForWrite;
  if (!fresh.write(content)) throw ansi ? kConfigAnsiWriteFailed : kConfigUtf16WriteFailed;
  if (!fresh.replace(path)) throw kConfigCannotOpenForWrite;
}
