#include "run_log.h"

#include <atomic>
#include <cstdarg>
#include <cwchar>

#include "handles.h"
#include "text.h"
#include "threads.h"

namespace {

constexpr wchar_t kPrefix[] = L"Pondrel ";
constexpr wchar_t kInstallerSuffix[] = L" installer";
// "####-##-## ##-##-##": the stamp's shape, # a digit.
constexpr wchar_t kStampShape[] = L"####-##-## ##-##-##";
constexpr size_t kStamp = 19;
constexpr int kNameAttempts = 100;
// A line longer than this is cut: a path can be 32,767 characters, and a line holds a few.
constexpr size_t kLineLimit = 70000;

CriticalSection lock;
UniqueFile file;
std::wstring logPath;
std::atomic<std::uint32_t> outcomeCode{0};
std::atomic<bool> outcomeSet{false};

std::uint64_t fileTimeValue(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// Whether `name` is one of the logs this program names: "Pondrel <title> <stamp>[ (n)].log".
bool isRunLogName(const wchar_t* name) {
  size_t length = wcslen(name);
  if (length < 12 + kStamp || wcsncmp(name, kPrefix, 8) != 0 || _wcsicmp(name + length - 4, L".log") != 0) {
    return false;
  }
  length -= 4;
  if (name[length - 1] == L')') {
    while (length > 0 && name[length - 1] != L'(') --length;
    length -= 2;
  }
  if (length < 9 + kStamp || name[length - kStamp - 1] != L' ') return false;
  for (size_t i = 0; i < kStamp; ++i) {
    const wchar_t c = name[length - kStamp + i];
    if (kStampShape[i] == L'#' ? c < L'0' || c > L'9' : c != kStampShape[i]) return false;
  }
  return true;
}

std::wstring withInstallerSuffix(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  const size_t dot = path.rfind(L'.');
  if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return path + kInstallerSuffix;
  return std::wstring(path).insert(dot, kInstallerSuffix);
}

// Keeps the newest kKeptLogs logs of `folder` (this run's is the newest) and their installer
// logs: the oldest go one by one.
void removeOldLogs(const std::wstring& folder) {
  for (;;) {
    WIN32_FIND_DATAW data;
    const UniqueFind search(FindFirstFileW((folder + kPrefix + L"*.log").c_str(), &data));
    if (!search) return;
    int count = 0;
    std::uint64_t oldestTime = ~std::uint64_t{0};
    std::wstring oldest;
    do {
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !isRunLogName(data.cFileName)) continue;
      ++count;
      if (fileTimeValue(data.ftLastWriteTime) < oldestTime && folder + data.cFileName != logPath) {
        oldestTime = fileTimeValue(data.ftLastWriteTime);
        oldest = data.cFileName;
      }
    } while (FindNextFileW(search.get(), &data));
    // A log that another run still writes cannot go; it stays, and so do the ones after it.
    if (count <= run_log::kKeptLogs || oldest.empty() || !DeleteFileW((folder + oldest).c_str())) return;
    DeleteFileW(withInstallerSuffix(folder + oldest).c_str());
  }
}

// The log file; shared for reading so that it can be looked at while the run goes on.
UniqueFile createLog(const std::wstring& path, DWORD disposition) {
  return UniqueFile(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool folderExists(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  const DWORD attributes = GetFileAttributesW(slash == std::wstring::npos ? L"." : path.substr(0, slash + 1).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Formats into `text`, which keeps what it held before.
void appendFormatted(std::wstring& text, const wchar_t* format, va_list arguments) {
  const size_t kept = text.size();
  for (size_t room = 256;; room *= 4) {
    text.resize(kept + room);
    va_list copy;
    va_copy(copy, arguments);
    const int length = _vsnwprintf(&text[kept], room - 1, format, copy);
    va_end(copy);
    if (length >= 0 || room >= kLineLimit) {
      text.resize(length >= 0 ? kept + static_cast<size_t>(length) : kept + room - 1);
      return;
    }
  }
}

void writeText(const std::wstring& text) {
  if (!file) return;
  const std::string bytes = toUtf8(text);
  DWORD written = 0;
  if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size()) {
    // A full or failing disk: the run goes on without its log.
    file.reset();
  }
}

void writeLine(const char* format, va_list arguments) {
  // The format is ASCII: widened, its %s take wide text.
  std::wstring wideFormat;
  while (*format) wideFormat += static_cast<wchar_t>(*format++);
  const std::uint32_t ms = run_log::elapsedMilliseconds();
  wchar_t offset[16] = {};
  _snwprintf(offset, 15, L"%4u.%03u ", ms / 1000, ms % 1000);
  std::wstring text(offset);
  appendFormatted(text, wideFormat.c_str(), arguments);
  // One entry per line: a line break inside a message (a system text's own) becomes a space.
  for (wchar_t& c : text) {
    if (c == L'\r' || c == L'\n') c = L' ';
  }
  while (!text.empty() && text.back() == L' ') text.pop_back();
  text += L"\r\n";
  const Lock held(lock);
  writeText(text);
}

}  // namespace

namespace exit_code {
std::uint32_t forInstaller(std::uint32_t code) {
  return code >= signatureRefused && code <= diskFull ? installerFailed : code;
}

const wchar_t* meaning(std::uint32_t code) {
  switch (code) {
    case success: return L"success";
    case signatureRefused: return L"signature not verified";
    case archiveUnreadable: return L"archive data unreadable";
    case cannotStart: return L"setup program not started";
    case noDistribution: return L"no acceptable distribution";
    case mergeFailed: return L"launcher settings not merged";
    case certificateNotCopied: return L"certificate not copied";
    case installerFailed: return L"installer failed";
    case diskFull: return L"not enough disk space";
    case closed: return L"close request";
    case otherError: return L"error";
    default: return L"the installer's own code";
  }
}
}  // namespace exit_code

namespace run_log {

bool open(const std::wstring& title, const std::wstring& requested, const std::wstring& defaultFolder,
          const SYSTEMTIME& now) {
  const Lock held(lock);
  file.reset();
  logPath.clear();
  const wchar_t* why = nullptr;
  if (!requested.empty()) {
    if (!folderExists(requested)) {
      why = L"its folder does not exist";
    } else if ((file = createLog(requested, CREATE_ALWAYS))) {
      logPath = requested;
    } else {
      why = L"it cannot be written";
    }
  }
  if (!file && !defaultFolder.empty()) {
    wchar_t stamp[32] = {};
    // Sorts as the times do and holds no character that a file name cannot.
    _snwprintf(stamp, 31, L" %04u-%02u-%02u %02u-%02u-%02u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
               now.wSecond);
    const std::wstring base = defaultFolder + kPrefix + title + stamp;
    for (int attempt = 1; attempt <= kNameAttempts && !file; ++attempt) {
      const std::wstring candidate = base + (attempt == 1 ? L"" : L" (" + decimalText(attempt) + L")") + L".log";
      file = createLog(candidate, CREATE_NEW);
      if (file) {
        logPath = candidate;
      } else if (GetLastError() != ERROR_FILE_EXISTS) {
        break;
      }
    }
    if (file) removeOldLogs(defaultFolder);
  }
  if (!file) return false;
  // The mark tells the editors of older systems that the text is UTF-8.
  writeText(L"\xFEFF");
  if (why) writeText(L"   0.000 /log " + requested + L": " + why + L"; the log is in the temporary folder\r\n");
  return file.valid();
}

void close() {
  const Lock held(lock);
  file.reset();
}

bool active() {
  const Lock held(lock);
  return file.valid();
}

std::wstring path() {
  const Lock held(lock);
  return file ? logPath : std::wstring();
}

std::wstring installerLogPath() {
  const std::wstring log = path();
  return log.empty() ? log : withInstallerSuffix(log);
}

std::uint32_t elapsedMilliseconds() {
  FILETIME created, exited, kernel, user, now;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t start = fileTimeValue(created), end = fileTimeValue(now);
  return end > start ? static_cast<std::uint32_t>((end - start) / 10000) : 0;
}

void line(const char* format, ...) noexcept {
  try {
    if (!active()) return;
    va_list arguments;
    va_start(arguments, format);
    writeLine(format, arguments);
    va_end(arguments);
  } catch (...) {
  }
}

void setOutcome(std::uint32_t code) noexcept {
  bool expected = false;
  if (outcomeSet.compare_exchange_strong(expected, true)) outcomeCode = code;
}

std::uint32_t outcome() noexcept { return outcomeCode.load(); }

}  // namespace run_log
