// The folder calls of file_system.h on POSIX systems: names are bytes, taken as UTF-8.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwctype>
#include <vector>

#include "file_system.h"
#include "text.h"

namespace {

constexpr std::int64_t kUnixEpochSeconds = 11644473600;  // from 1601-01-01 to 1970-01-01

FileTime fileTimeOf(const timespec& time) {
  return static_cast<FileTime>((time.tv_sec + kUnixEpochSeconds) * 10'000'000 + time.tv_nsec / 100);
}

// The bytes of a name that is not UTF-8: printable ASCII as it is, every other byte as "\xNN".
std::string shownBytes(const char* name) {
  std::string shown;
  for (const char* c = name; *c; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      shown += *c;
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    }
  }
  return shown;
}

// The UTF-16 code units of a name, upper-cased by the Unicode rules alone (no user's locale)
// when `upper`.
std::u16string utf16(const std::wstring& name, bool upper) {
  static const locale_t unicode = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::u16string units;
  for (wchar_t c : name) {
    if (upper) c = unicode ? static_cast<wchar_t>(::towupper_l(static_cast<wint_t>(c), unicode)) : std::towupper(c);
    const auto point = static_cast<char32_t>(c);
    if (point < 0x10000) {
      units += static_cast<char16_t>(point);
    } else {
      units += static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
    }
  }
  return units;
}

}  // namespace

// The entries are handed out in the order Windows lists a folder's (NTFS keeps them in it, Wine
// sorts them so): by their upper-case UTF-16 names, and names equal but for case by their own
// code units. A folder thus lists alike on every machine, whatever order its file system keeps.
struct FolderListing::State {
  struct Sorted {
    std::u16string key;
    std::u16string own;
    ListedEntry entry;
  };
  std::vector<Sorted> entries;
  size_t next = 0;
};

FolderListing::~FolderListing() { delete state_; }

bool FolderListing::open(const std::wstring& folder, bool& empty) {
  delete state_;
  state_ = nullptr;
  empty = false;
  DIR* listing = ::opendir(toUtf8(folder).c_str());
  if (!listing) return false;
  auto* state = new State;
  for (;;) {
    errno = 0;
    const dirent* found = ::readdir(listing);
    if (!found) break;
    const char* name = found->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    struct stat status;
    if (::fstatat(::dirfd(listing), name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // gone since it was listed
      break;
    }
    ListedEntry entry;
    entry.name = fromStrictUtf8(name);
    if (entry.name.empty()) entry.unreadableName = shownBytes(name);
    entry.link = S_ISLNK(status.st_mode);
    entry.folder = S_ISDIR(status.st_mode);
    entry.size = S_ISREG(status.st_mode) ? static_cast<std::uint64_t>(status.st_size) : 0;
    entry.written = fileTimeOf(status.st_mtim);
    state->entries.push_back(State::Sorted{utf16(entry.name, true), utf16(entry.name, false), std::move(entry)});
  }
  const int error = errno;
  ::closedir(listing);
  if (error != 0) {
    delete state;
    errno = error;
    return false;
  }
  std::sort(state->entries.begin(), state->entries.end(), [](const State::Sorted& a, const State::Sorted& b) {
    return a.key != b.key ? a.key < b.key : a.own < b.own;
  });
  state_ = state;
  return true;
}

bool FolderListing::next(ListedEntry& entry) {
  errno = 0;
  if (!state_ || state_->next == state_->entries.size()) return false;
  entry = std::move(state_->entries[state_->next++].entry);
  return true;
}

bool lookThrough(const std::wstring& path, FolderId& id, bool& folder, FileTime& written) {
  struct stat status;
  if (::stat(toUtf8(path).c_str(), &status) != 0) return false;
  id.volume = static_cast<std::uint64_t>(status.st_dev);
  id.index = static_cast<std::uint64_t>(status.st_ino);
  folder = S_ISDIR(status.st_mode);
  written = fileTimeOf(status.st_mtim);
  return true;
}

bool pathExists(std::wstring path) {
  struct stat status;
  return ::lstat(toUtf8(path).c_str(), &status) == 0;
}

bool isFolder(const std::wstring& path) {
  struct stat status;
  return ::stat(toUtf8(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool createFolder(const std::wstring& path) { return ::mkdir(toUtf8(path).c_str(), 0700) == 0; }

void removeFolderAndFiles(const std::wstring& path) {
  const int savedError = errno;
  const std::string folder = toUtf8(path);
  if (DIR* listing = ::opendir(folder.c_str())) {
    while (const dirent* found = ::readdir(listing)) {
      struct stat status;
      if (::fstatat(::dirfd(listing), found->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(status.st_mode)) {
        ::unlinkat(::dirfd(listing), found->d_name, 0);
      }
    }
    ::closedir(listing);
  }
  ::rmdir(folder.c_str());
  errno = savedError;
}

std::wstring environmentVariable(const wchar_t* name) {
  const char* value = std::getenv(toUtf8(name).c_str());
  return value ? fromUtf8(value) : std::wstring();
}

bool localCivilTime(FileTime time, CivilTime& local) {
  const std::time_t seconds = static_cast<std::time_t>(time / 10'000'000) - static_cast<std::time_t>(kUnixEpochSeconds);
  std::tm civil;
  if (!::localtime_r(&seconds, &civil)) return false;
  local = CivilTime{static_cast<unsigned>(civil.tm_year + 1900), static_cast<unsigned>(civil.tm_mon + 1),
                    static_cast<unsigned>(civil.tm_mday), static_cast<unsigned>(civil.tm_hour),
                    static_cast<unsigned>(civil.tm_min), static_cast<unsigned>(civil.tm_sec)};
  return true;
}

unsigned long currentProcessId() { return static_cast<unsigned long>(::getpid()); }
