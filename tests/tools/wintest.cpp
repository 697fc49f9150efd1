// wintest.exe: the Windows-side helper of the end-to-end tests. The tests run it with Wine in the
// same prefix as the program under test, to read that program's windows and controls (which X
// cannot see), answer its dialogs, send it messages, run programs and report their full 32-bit
// exit code, read and write PE resources, and hold files open without sharing.
//
// Output is UTF-8 with "\n" line ends on stdout; errors go to stderr as one line.
// Exit code: 0 success, 1 failure (not found, timeout, a failing call), 2 bad usage.
// No call can hang on a blocked target: messages to other processes go through
// SendMessageTimeoutW with a 2 s limit, or are posted.
#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>
#include <winver.h>

#include "error_report.h"
#include "file_io.h"
#include "handles.h"
#include "resource_update.h"
#include "text.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <exception>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr UINT kMessageTimeoutMs = 2000;
constexpr DWORD kPollIntervalMs = 50;
// Bounds the grow-and-retry loops for window texts (1 << 22 characters is far beyond any caption).
constexpr size_t kMaxTextChars = size_t{1} << 22;

enum ExitCode : int { kOk = 0, kFailed = 1, kUsage = 2 };

const char kUsageText[] =
    "usage: wintest <command> ...\n"
    "  list [pid]\n"
    "  wait-window <title> <timeout-ms> [--class C] [--text-contains S] [--pid N] [--visible]\n"
    "              [--title-prefix | --title-regex | --any]\n"
    "  wait-gone <title> <timeout-ms> [window options]\n"
    "  click <button-text> [title] [--class C] [--pid N] [--timeout ms] [--command]\n"
    "  close <title> [window options] [--after-change <control-id> [--below <percent>]] [--timeout ms]\n"
    "  send <title> <msg> <wparam> <lparam> [window options] [--post]\n"
    "  text <title> [control-id] [window options]\n"
    "  watch-text <title> <control-id> <timeout-ms> [window options]: prints every new text of\n"
    "              the control until the window is hidden or gone (or the timeout)\n"
    "  run [--timeout ms] <exe> [args...]\n"
    "  resources <file>\n"
    "  update-resource <file> <type> <id> <lang> <data-file|->\n"
    "  update-resource-text <file> <type> <id> <lang> <text>\n"
    "  hold <file> <release-file> [--timeout ms] [--shared]\n"
    "  watch-processes <exe-name> <release-file> [--timeout ms]\n"
    "  acl <path>: prints the owner and access list of a file or folder (SDDL) and the user's SID\n"
    "  tamper <file> <replacement> [folder...]: as a hostile process would, tries to overwrite the\n"
    "              file with the replacement's bytes, to rename it aside and back, to delete it, and\n"
    "              to rename each folder aside and back; prints each attempt that succeeded\n"
    "window options: --class C, --pid N, --hwnd N, --visible, --text-contains S,\n"
    "                --title-prefix, --title-regex, --any\n";

// ---------------------------------------------------------------------------------------------
// Text and output.

std::string toUtf8(std::wstring_view text) { return ::toUtf8(std::wstring(text)); }

// Writes raw bytes: stdout and stderr are in binary mode, so "\n" stays "\n".
void writeLine(FILE* stream, std::string_view line) {
  fwrite(line.data(), 1, line.size(), stream);
  fwrite("\n", 1, 1, stream);
  fflush(stream);
}

void printLine(std::string_view line) { writeLine(stdout, line); }

int fail(std::wstring_view message) {
  writeLine(stderr, "wintest: " + toUtf8(message));
  return kFailed;
}

int usage(std::wstring_view message) {
  writeLine(stderr, "wintest: " + toUtf8(message));
  fwrite(kUsageText, 1, sizeof kUsageText - 1, stderr);
  fflush(stderr);
  return kUsage;
}

std::wstring errorText(DWORD error) { return L"error " + std::to_wstring(error) + L" (" + systemReason(error) + L")"; }

int failWithError(std::wstring_view what, DWORD error) {
  return fail(std::wstring(what) + L" failed: " + errorText(error));
}

std::string jsonString(std::wstring_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : toUtf8(text)) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string jsonBool(bool value) { return value ? "true" : "false"; }

std::string hexBytes(const void* data, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0xF];
  }
  return out;
}

// Parses a whole argument as a signed integer (decimal, or hex with 0x).
std::optional<long long> parseInteger(const std::wstring& text) {
  if (text.empty()) return std::nullopt;
  wchar_t* end = nullptr;
  errno = 0;
  const long long value = std::wcstoll(text.c_str(), &end, 0);
  if (errno != 0 || end == nullptr || *end != L'\0') return std::nullopt;
  return value;
}

// "&Yes" -> "Yes", "Save && exit" -> "Save & exit".
std::wstring withoutAccelerators(std::wstring_view text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'&') {
      if (i + 1 < text.size() && text[i + 1] == L'&') out += L'&', ++i;
      continue;
    }
    out += text[i];
  }
  return out;
}

bool equalsIgnoreCase(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// ---------------------------------------------------------------------------------------------
// Command-line arguments after the command word.

struct Args {
  std::vector<std::wstring> positional;
  std::map<std::wstring, std::wstring> values;
  std::set<std::wstring> flags;

  [[nodiscard]] bool has(const wchar_t* flag) const { return flags.count(flag) != 0; }
  [[nodiscard]] const std::wstring* value(const wchar_t* name) const {
    const auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second;
  }
};

const std::set<std::wstring> kValueOptions = {L"--class", L"--text-contains", L"--pid", L"--hwnd", L"--timeout",
                                              L"--after-change", L"--below"};
const std::set<std::wstring> kFlagOptions = {L"--visible", L"--title-prefix", L"--title-regex",
                                             L"--any",     L"--command",      L"--post",
                                             L"--shared"};

// Returns the error text, or nothing when the arguments parse.
std::optional<std::wstring> parseArgs(int first, int argc, wchar_t** argv, Args& args) {
  for (int i = first; i < argc; ++i) {
    const std::wstring word = argv[i];
    if (word.size() > 2 && word.compare(0, 2, L"--") == 0) {
      if (kFlagOptions.count(word) != 0) {
        args.flags.insert(word);
      } else if (kValueOptions.count(word) != 0) {
        if (i + 1 >= argc) return L"option " + word + L" needs a value";
        args.values[word] = argv[++i];
      } else {
        return L"unknown option " + word;
      }
    } else {
      args.positional.push_back(word);
    }
  }
  return std::nullopt;
}

// Reads an integer option; `ok` turns false on a malformed value.
template <typename T>
std::optional<T> integerOption(const Args& args, const wchar_t* name, bool& ok) {
  const std::wstring* text = args.value(name);
  if (text == nullptr) return std::nullopt;
  const auto value = parseInteger(*text);
  if (!value || *value < 0) {
    ok = false;
    return std::nullopt;
  }
  return static_cast<T>(*value);
}

// ---------------------------------------------------------------------------------------------
// Windows.

unsigned long long handleNumber(HWND hwnd) {
  return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd));
}

std::wstring classNameOf(HWND hwnd) {
  wchar_t buffer[260] = {};  // class names are at most 256 characters
  const int length = GetClassNameW(hwnd, buffer, static_cast<int>(std::size(buffer)));
  return std::wstring(buffer, length > 0 ? static_cast<size_t>(length) : 0);
}

// The caption as the window manager stores it; sends no message, so it cannot block.
std::wstring storedText(HWND hwnd) {
  std::vector<wchar_t> buffer(256);
  for (;;) {
    const int copied = InternalGetWindowText(hwnd, buffer.data(), static_cast<int>(buffer.size()));
    if (copied < 0) return {};
    if (static_cast<size_t>(copied) + 1 < buffer.size() || buffer.size() >= kMaxTextChars) {
      return std::wstring(buffer.data(), static_cast<size_t>(copied));
    }
    buffer.assign(buffer.size() * 4, L'\0');
  }
}

// A control's text by WM_GETTEXT, which the system copies across processes (GetWindowTextW does
// not for other processes' controls). A target that does not answer within the time limit gets
// its stored caption instead.
std::wstring controlText(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &length)) {
    return storedText(hwnd);
  }
  size_t capacity = static_cast<size_t>(length) + 16;
  for (;;) {
    std::vector<wchar_t> buffer(capacity, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                             SMTO_ABORTIFHUNG, kMessageTimeoutMs, &copied)) {
      return storedText(hwnd);
    }
    copied = std::min<DWORD_PTR>(copied, buffer.size() - 1);
    if (copied + 1 < buffer.size() || capacity >= kMaxTextChars) {
      return std::wstring(buffer.data(), static_cast<size_t>(copied));
    }
    capacity *= 4;  // the text grew between the two messages
  }
}

BOOL CALLBACK collectWindow(HWND hwnd, LPARAM param) {
  reinterpret_cast<std::vector<HWND>*>(param)->push_back(hwnd);
  return TRUE;
}

// Top-level windows in z-order, topmost first.
std::vector<HWND> topLevelWindows() {
  std::vector<HWND> windows;
  EnumWindows(collectWindow, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

// All descendants, parents before their children.
std::vector<HWND> childWindows(HWND parent) {
  std::vector<HWND> windows;
  EnumChildWindows(parent, collectWindow, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

DWORD processOf(HWND hwnd) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  return pid;
}

std::string windowJson(HWND hwnd) {
  RECT rect{};
  GetWindowRect(hwnd, &rect);
  const auto style = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE));
  const auto exStyle = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_EXSTYLE));
  std::string json = "{\"hwnd\":" + std::to_string(handleNumber(hwnd));
  json += ",\"pid\":" + std::to_string(processOf(hwnd));
  json += ",\"class\":" + jsonString(classNameOf(hwnd));
  json += ",\"title\":" + jsonString(storedText(hwnd));
  json += ",\"visible\":" + jsonBool(IsWindowVisible(hwnd) != FALSE);
  json += ",\"style\":" + std::to_string(style);
  json += ",\"exstyle\":" + std::to_string(exStyle);
  json += ",\"x\":" + std::to_string(rect.left) + ",\"y\":" + std::to_string(rect.top);
  json += ",\"w\":" + std::to_string(rect.right - rect.left) + ",\"h\":" + std::to_string(rect.bottom - rect.top);
  json += ",\"children\":[";
  bool first = true;
  for (HWND child : childWindows(hwnd)) {
    if (!first) json += ',';
    first = false;
    json += "{\"hwnd\":" + std::to_string(handleNumber(child));
    json += ",\"class\":" + jsonString(classNameOf(child));
    json += ",\"id\":" + std::to_string(GetDlgCtrlID(child));
    json += ",\"text\":" + jsonString(controlText(child));
    json += ",\"visible\":" + jsonBool(IsWindowVisible(child) != FALSE);
    json += ",\"style\":" + std::to_string(static_cast<DWORD>(GetWindowLongPtrW(child, GWL_STYLE)));
    json += '}';
  }
  json += "]}";
  return json;
}

// Which top-level windows a command means.
struct WindowFilter {
  enum class TitleMatch { kExact, kPrefix, kRegex, kAny };
  TitleMatch titleMatch = TitleMatch::kExact;
  std::wstring title;
  std::optional<std::wregex> titleRegex;
  std::optional<std::wstring> className;
  std::optional<std::wstring> childTextContains;
  std::optional<DWORD> pid;
  std::optional<HWND> hwnd;
  bool visibleOnly = false;
};

// Fills the filter from the options; returns the error text on a bad option value.
std::optional<std::wstring> makeFilter(const Args& args, const std::wstring& title, WindowFilter& filter) {
  filter.title = title;
  if (args.has(L"--any")) {
    filter.titleMatch = WindowFilter::TitleMatch::kAny;
  } else if (args.has(L"--title-prefix")) {
    filter.titleMatch = WindowFilter::TitleMatch::kPrefix;
  } else if (args.has(L"--title-regex")) {
    filter.titleMatch = WindowFilter::TitleMatch::kRegex;
    try {
      filter.titleRegex.emplace(title, std::regex_constants::ECMAScript);
    } catch (const std::regex_error&) {
      return L"bad title pattern: " + title;
    }
  }
  if (const auto* value = args.value(L"--class")) filter.className = *value;
  if (const auto* value = args.value(L"--text-contains")) filter.childTextContains = *value;
  bool ok = true;
  filter.pid = integerOption<DWORD>(args, L"--pid", ok);
  if (const auto number = integerOption<uintptr_t>(args, L"--hwnd", ok)) filter.hwnd = reinterpret_cast<HWND>(*number);
  if (!ok) return std::wstring(L"bad number in --pid or --hwnd");
  filter.visibleOnly = args.has(L"--visible");
  return std::nullopt;
}

bool titleMatches(const WindowFilter& filter, const std::wstring& title) {
  switch (filter.titleMatch) {
    case WindowFilter::TitleMatch::kExact: return title == filter.title;
    case WindowFilter::TitleMatch::kPrefix: return title.compare(0, filter.title.size(), filter.title) == 0;
    case WindowFilter::TitleMatch::kRegex: return std::regex_search(title, *filter.titleRegex);
    case WindowFilter::TitleMatch::kAny: return true;
  }
  return false;
}

bool matches(HWND hwnd, const WindowFilter& filter) {
  if (filter.hwnd && hwnd != *filter.hwnd) return false;
  if (filter.visibleOnly && !IsWindowVisible(hwnd)) return false;
  if (filter.pid && processOf(hwnd) != *filter.pid) return false;
  if (filter.className && !equalsIgnoreCase(classNameOf(hwnd), *filter.className)) return false;
  if (!titleMatches(filter, storedText(hwnd))) return false;
  if (filter.childTextContains) {
    for (HWND child : childWindows(hwnd)) {
      if (controlText(child).find(*filter.childTextContains) != std::wstring::npos) return true;
    }
    return false;
  }
  return true;
}

// The topmost matching visible window, else the topmost matching hidden one, else null.
HWND findWindow(const WindowFilter& filter) {
  HWND hidden = nullptr;
  for (HWND hwnd : topLevelWindows()) {
    if (!matches(hwnd, filter)) continue;
    if (IsWindowVisible(hwnd)) return hwnd;
    if (hidden == nullptr) hidden = hwnd;
  }
  return hidden;
}

// Calls `attempt` every poll interval until it returns true or the time is up; tries at least once.
template <typename Attempt>
bool pollUntil(DWORD timeoutMs, Attempt attempt) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (attempt()) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    Sleep(static_cast<DWORD>(std::min<ULONGLONG>(kPollIntervalMs, deadline - now)));
  }
}

// ---------------------------------------------------------------------------------------------
// Commands on windows.

int listWindows(const Args& args) {
  std::optional<DWORD> pid;
  if (!args.positional.empty()) {
    const auto value = parseInteger(args.positional[0]);
    if (!value || *value < 0) return usage(L"list: bad pid " + args.positional[0]);
    pid = static_cast<DWORD>(*value);
  }
  for (HWND hwnd : topLevelWindows()) {
    if (pid && processOf(hwnd) != *pid) continue;
    if (!IsWindow(hwnd)) continue;  // gone while we looked
    printLine(windowJson(hwnd));
  }
  return kOk;
}

// Shared by the commands whose first word is a title and which take the window options.
std::optional<int> windowArgs(const Args& args, size_t positionalMin, size_t positionalMax, const wchar_t* command,
                              WindowFilter& filter) {
  if (args.positional.size() < positionalMin || args.positional.size() > positionalMax) {
    return usage(std::wstring(command) + L": wrong number of arguments");
  }
  if (const auto error = makeFilter(args, args.positional[0], filter)) return usage(*error);
  return std::nullopt;
}

std::optional<DWORD> timeoutArg(const std::wstring& text) {
  const auto value = parseInteger(text);
  if (!value || *value < 0 || *value > 0x7FFFFFFF) return std::nullopt;
  return static_cast<DWORD>(*value);
}

int waitWindow(const Args& args) {
  WindowFilter filter;
  if (const auto status = windowArgs(args, 2, 2, L"wait-window", filter)) return *status;
  const auto timeout = timeoutArg(args.positional[1]);
  if (!timeout) return usage(L"wait-window: bad timeout " + args.positional[1]);
  HWND found = nullptr;
  if (!pollUntil(*timeout, [&] { return (found = findWindow(filter)) != nullptr; })) {
    return fail(L"wait-window: no window \"" + filter.title + L"\" within " + args.positional[1] + L" ms");
  }
  printLine(windowJson(found));
  return kOk;
}

int waitGone(const Args& args) {
  WindowFilter filter;
  if (const auto status = windowArgs(args, 2, 2, L"wait-gone", filter)) return *status;
  const auto timeout = timeoutArg(args.positional[1]);
  if (!timeout) return usage(L"wait-gone: bad timeout " + args.positional[1]);
  if (!pollUntil(*timeout, [&] { return findWindow(filter) == nullptr; })) {
    return fail(L"wait-gone: window \"" + filter.title + L"\" still there after " + args.positional[1] + L" ms");
  }
  return kOk;
}

struct ButtonMatch {
  HWND dialog = nullptr;
  HWND button = nullptr;
  std::wstring text;
};

std::optional<ButtonMatch> findButton(const WindowFilter& filter, const std::wstring& wanted) {
  for (HWND dialog : topLevelWindows()) {
    if (!IsWindowVisible(dialog) || !matches(dialog, filter)) continue;
    for (HWND child : childWindows(dialog)) {
      if (!equalsIgnoreCase(classNameOf(child), L"Button")) continue;
      std::wstring text = controlText(child);
      if (withoutAccelerators(text) == wanted) return ButtonMatch{dialog, child, std::move(text)};
    }
  }
  return std::nullopt;
}

// BM_CLICK is posted, not sent: the click may start a modal loop or a long job in the target.
// --command posts the button's WM_COMMAND to its parent instead, for targets that ignore clicks.
int clickButton(const Args& args) {
  if (args.positional.empty() || args.positional.size() > 2) return usage(L"click: wrong number of arguments");
  WindowFilter filter;
  const std::wstring title = args.positional.size() > 1 ? args.positional[1] : std::wstring();
  if (const auto error = makeFilter(args, title, filter)) return usage(*error);
  if (args.positional.size() < 2 && filter.titleMatch == WindowFilter::TitleMatch::kExact) {
    filter.titleMatch = WindowFilter::TitleMatch::kAny;
  }
  if (!filter.className) filter.className = L"#32770";
  bool ok = true;
  const DWORD timeout = integerOption<DWORD>(args, L"--timeout", ok).value_or(0);
  if (!ok) return usage(L"click: bad --timeout");

  const std::wstring wanted = withoutAccelerators(args.positional[0]);
  std::optional<ButtonMatch> match;
  if (!pollUntil(timeout, [&] { return (match = findButton(filter, wanted)).has_value(); })) {
    return fail(L"click: no dialog with a button \"" + wanted + L"\"");
  }
  BOOL posted = FALSE;
  if (args.has(L"--command")) {
    const int id = GetDlgCtrlID(match->button);
    posted = PostMessageW(GetParent(match->button), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                          reinterpret_cast<LPARAM>(match->button));
  } else {
    posted = PostMessageW(match->button, BM_CLICK, 0, 0);
  }
  if (!posted) return failWithError(L"click: PostMessageW", GetLastError());
  printLine("{\"dialog\":" + std::to_string(handleNumber(match->dialog)) +
            ",\"button\":" + std::to_string(handleNumber(match->button)) +
            ",\"id\":" + std::to_string(GetDlgCtrlID(match->button)) + ",\"text\":" + jsonString(match->text) + "}");
  return kOk;
}

HWND controlOf(HWND window, std::optional<int> id);

// The number before the "%" that ends a progress text; none without one.
std::optional<long long> percentOf(const std::wstring& text) {
  const size_t end = text.rfind(L'%');
  if (end == std::wstring::npos || end + 1 != text.size()) return std::nullopt;
  size_t begin = end;
  while (begin > 0 && text[begin - 1] >= L'0' && text[begin - 1] <= L'9') --begin;
  return begin == end ? std::nullopt : parseInteger(text.substr(begin, end - begin));
}

// With --after-change, the close request goes out the moment the control's text first differs
// from what it was when the window was found (a progress line that begins to move, say): a new
// wintest process per look would come far too late on a busy machine. Started before the
// program, it waits for the window. With --below, the changed text must show a percentage below
// that, or the close is not sent at all: the moment it stands for has passed.
int closeWindow(const Args& args) {
  WindowFilter filter;
  if (const auto status = windowArgs(args, 1, 1, L"close", filter)) return *status;
  bool ok = true;
  const auto control = integerOption<int>(args, L"--after-change", ok);
  const auto below = integerOption<long long>(args, L"--below", ok);
  const auto timeout = integerOption<DWORD>(args, L"--timeout", ok);
  if (!ok) return usage(L"close: bad --after-change, --below or --timeout");
  const ULONGLONG deadline = GetTickCount64() + timeout.value_or(60000);
  HWND hwnd = findWindow(filter);
  // With a moment or a timeout to go by, the window may come later.
  while (hwnd == nullptr && (control || timeout) && GetTickCount64() < deadline) {
    Sleep(2);
    hwnd = findWindow(filter);
  }
  if (hwnd == nullptr) return fail(L"close: no window \"" + filter.title + L"\"");
  if (control) {
    HWND watched = controlOf(hwnd, *control);
    if (watched == nullptr) return fail(L"close: no control " + std::to_wstring(*control));
    const std::wstring first = controlText(watched);
    std::wstring now = first;
    while (now == first) {
      if (!IsWindow(watched) || GetTickCount64() >= deadline) return fail(L"close: the text did not change in time");
      Sleep(2);
      now = controlText(watched);
    }
    const auto percent = percentOf(now);
    if (below && !(percent && *percent < *below)) return fail(L"close: too late, the text was " + now);
  }
  if (!PostMessageW(hwnd, WM_CLOSE, 0, 0)) return failWithError(L"close: PostMessageW", GetLastError());
  return kOk;
}

int sendMessage(const Args& args) {
  WindowFilter filter;
  if (const auto status = windowArgs(args, 4, 4, L"send", filter)) return *status;
  const auto message = parseInteger(args.positional[1]);
  const auto wParam = parseInteger(args.positional[2]);
  const auto lParam = parseInteger(args.positional[3]);
  if (!message || !wParam || !lParam) return usage(L"send: message, wparam and lparam must be integers");
  HWND hwnd = findWindow(filter);
  if (hwnd == nullptr) return fail(L"send: no window \"" + filter.title + L"\"");
  const auto msg = static_cast<UINT>(*message);
  const auto wp = static_cast<WPARAM>(*wParam);
  const auto lp = static_cast<LPARAM>(*lParam);
  if (args.has(L"--post")) {
    if (!PostMessageW(hwnd, msg, wp, lp)) return failWithError(L"send: PostMessageW", GetLastError());
    return kOk;
  }
  DWORD_PTR result = 0;
  SetLastError(ERROR_SUCCESS);
  if (!SendMessageTimeoutW(hwnd, msg, wp, lp, SMTO_ABORTIFHUNG, kMessageTimeoutMs, &result)) {
    const DWORD error = GetLastError();
    return failWithError(L"send: SendMessageTimeoutW", error == ERROR_SUCCESS ? ERROR_TIMEOUT : error);
  }
  printLine(std::to_string(static_cast<LRESULT>(result)));
  return kOk;
}

// The child with that id (any child when no id is given), or null.
HWND controlOf(HWND window, std::optional<int> id) {
  for (HWND child : childWindows(window)) {
    // Dialog templates store ids as 16 bits, so -1 comes back as 0xFFFF: accept both spellings.
    const int childId = GetDlgCtrlID(child);
    if (!id || childId == *id || (childId & 0xFFFF) == (*id & 0xFFFF)) return child;
  }
  return nullptr;
}

int windowText(const Args& args) {
  WindowFilter filter;
  if (const auto status = windowArgs(args, 1, 2, L"text", filter)) return *status;
  std::optional<int> id;
  if (args.positional.size() == 2) {
    const auto value = parseInteger(args.positional[1]);
    if (!value) return usage(L"text: bad control id " + args.positional[1]);
    id = static_cast<int>(*value);
  }
  HWND hwnd = findWindow(filter);
  if (hwnd == nullptr) return fail(L"text: no window \"" + filter.title + L"\"");
  if (HWND control = controlOf(hwnd, id)) {
    printLine(toUtf8(controlText(control)));
    return kOk;
  }
  return fail(id ? L"text: no control " + std::to_wstring(*id) : std::wstring(L"text: the window has no controls"));
}

// Samples far faster than a new wintest process per reading could, so that no text a program
// shows for a moment is missed, even on a busy machine.
int watchText(const Args& args) {
  WindowFilter filter;
  if (const auto status = windowArgs(args, 3, 3, L"watch-text", filter)) return *status;
  const auto id = parseInteger(args.positional[1]);
  const auto timeout = timeoutArg(args.positional[2]);
  if (!id || !timeout) return usage(L"watch-text: bad control id or timeout");
  const ULONGLONG deadline = GetTickCount64() + *timeout;
  HWND hwnd = nullptr;
  while (!(hwnd = findWindow(filter)) && GetTickCount64() < deadline) Sleep(kPollIntervalMs);
  if (hwnd == nullptr) return fail(L"watch-text: no window \"" + filter.title + L"\"");
  std::optional<std::wstring> last;
  while (IsWindow(hwnd) && IsWindowVisible(hwnd) && GetTickCount64() < deadline) {
    if (HWND control = controlOf(hwnd, static_cast<int>(*id))) {
      const std::wstring text = controlText(control);
      if (text != last) printLine(toUtf8(text));
      last = text;
    }
    Sleep(5);
  }
  return kOk;
}

// ---------------------------------------------------------------------------------------------
// Running programs.

// Quotes one argument so that CommandLineToArgvW and the C runtime give it back unchanged.
std::wstring quoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
    else out.append(backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

// run [--timeout ms] <exe> [args...]: everything after <exe> goes to the program unchanged.
// The exit code is printed as the last line (the program's own output may come before it).
int runProgram(int first, int argc, wchar_t** argv) {
  std::optional<DWORD> timeout;
  int index = first;
  if (index < argc && std::wstring_view(argv[index]) == L"--timeout") {
    if (index + 1 >= argc || !(timeout = timeoutArg(argv[index + 1]))) return usage(L"run: bad --timeout");
    index += 2;
  }
  if (index >= argc) return usage(L"run: missing program");
  std::wstring commandLine;
  for (int i = index; i < argc; ++i) {
    if (i > index) commandLine += L' ';
    commandLine += quoteArgument(argv[i]);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return failWithError(L"run: CreateProcessW(" + commandLine + L")", GetLastError());
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);

  const DWORD waited = WaitForSingleObject(process.get(), timeout.value_or(INFINITE));
  if (waited == WAIT_TIMEOUT) {
    TerminateProcess(process.get(), ERROR_TIMEOUT);
    return fail(L"run: still running after " + std::to_wstring(*timeout) + L" ms, terminated");
  }
  if (waited != WAIT_OBJECT_0) return failWithError(L"run: WaitForSingleObject", GetLastError());
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process.get(), &exitCode)) return failWithError(L"run: GetExitCodeProcess", GetLastError());
  printLine(std::to_string(exitCode));
  return kOk;
}

// ---------------------------------------------------------------------------------------------
// Resources.

// A resource type or name: an integer id, or a string.
struct ResourceName {
  std::optional<WORD> id;
  std::wstring name;

  static ResourceName from(LPCWSTR value) {
    if (IS_INTRESOURCE(value)) return ResourceName{static_cast<WORD>(reinterpret_cast<uintptr_t>(value)), {}};
    return ResourceName{std::nullopt, value};
  }
  static ResourceName parse(const std::wstring& text) {
    const auto number = parseInteger(text);
    if (number && *number >= 0 && *number <= 0xFFFF) return ResourceName{static_cast<WORD>(*number), {}};
    // The loader upper-cases names before it looks them up, so store them that way, as resource
    // compilers do.
    std::wstring upper = text;
    if (!upper.empty()) CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    return ResourceName{std::nullopt, upper};
  }
  [[nodiscard]] LPCWSTR get() const { return id ? MAKEINTRESOURCEW(*id) : name.c_str(); }
  [[nodiscard]] std::string json() const { return id ? std::to_string(*id) : jsonString(name); }
  [[nodiscard]] std::wstring text() const { return id ? std::to_wstring(*id) : name; }
  // Names compare without regard to case, as the resource loader does.
  bool operator==(const ResourceName& other) const {
    if (id || other.id) return id == other.id;
    return equalsIgnoreCase(name, other.name);
  }
};

BOOL CALLBACK collectType(HMODULE, LPWSTR type, LONG_PTR param) {
  reinterpret_cast<std::vector<ResourceName>*>(param)->push_back(ResourceName::from(type));
  return TRUE;
}

BOOL CALLBACK collectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
  reinterpret_cast<std::vector<ResourceName>*>(param)->push_back(ResourceName::from(name));
  return TRUE;
}

BOOL CALLBACK collectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
  reinterpret_cast<std::vector<WORD>*>(param)->push_back(language);
  return TRUE;
}

std::vector<WORD> languagesOf(HMODULE module, LPCWSTR type, LPCWSTR name) {
  std::vector<WORD> languages;
  EnumResourceLanguagesW(module, type, name, collectLanguage, reinterpret_cast<LONG_PTR>(&languages));
  return languages;
}

// The bytes of a resource in the given language; nothing if it is not there.
std::optional<std::string> resourceHex(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language) {
  HRSRC info = FindResourceExW(module, type, name, language);
  if (info == nullptr) return std::nullopt;
  const DWORD size = SizeofResource(module, info);
  HGLOBAL loaded = LoadResource(module, info);
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr && size != 0) return std::nullopt;
  return hexBytes(data, size);
}

// "rcdata<id>": hex of the first language found, or null; "rcdata<id>_langs": all languages.
std::string rcdataJson(HMODULE module, WORD id) {
  const std::vector<WORD> languages = languagesOf(module, RT_RCDATA, MAKEINTRESOURCEW(id));
  std::optional<std::string> hex;
  if (!languages.empty()) hex = resourceHex(module, RT_RCDATA, MAKEINTRESOURCEW(id), languages.front());
  const std::string key = "\"rcdata" + std::to_string(id);
  std::string json = key + "\":" + (hex ? "\"" + *hex + "\"" : std::string("null"));
  json += "," + key + "_langs\":[";
  for (size_t i = 0; i < languages.size(); ++i) json += (i ? "," : "") + std::to_string(languages[i]);
  return json + "]";
}

// Calls visit(type, name, language, info) for every resource of the module.
template <typename Visit>
void forEachResource(HMODULE module, Visit visit) {
  std::vector<ResourceName> types;
  EnumResourceTypesW(module, collectType, reinterpret_cast<LONG_PTR>(&types));
  for (const ResourceName& type : types) {
    std::vector<ResourceName> names;
    EnumResourceNamesW(module, type.get(), collectName, reinterpret_cast<LONG_PTR>(&names));
    for (const ResourceName& name : names) {
      for (const WORD language : languagesOf(module, type.get(), name.get())) {
        visit(type, name, language, FindResourceExW(module, type.get(), name.get(), language));
      }
    }
  }
}

// Every resource as {"type","name","lang","size"}.
std::string resourceListJson(HMODULE module) {
  std::string json;
  forEachResource(module, [&](const ResourceName& type, const ResourceName& name, WORD language, HRSRC info) {
    const DWORD size = info != nullptr ? SizeofResource(module, info) : 0;
    json += json.empty() ? "[" : ",";
    json += "{\"type\":" + type.json() + ",\"name\":" + name.json() + ",\"lang\":" + std::to_string(language) +
            ",\"size\":" + std::to_string(size) + "}";
  });
  return json.empty() ? "[]" : json + "]";
}

std::string versionNumber(DWORD high, DWORD low) {
  return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." + std::to_string(HIWORD(low)) +
         "." + std::to_string(LOWORD(low));
}

// The version strings of the first translation, or null when the file has no version resource.
std::string versionJson(const std::wstring& file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return "null";
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return "null";

  std::string json = "{";
  void* value = nullptr;
  UINT length = 0;
  std::optional<std::pair<WORD, WORD>> translation;
  if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) && length >= 4) {
    const auto* pair = static_cast<const WORD*>(value);
    translation = std::make_pair(pair[0], pair[1]);
    json += "\"Translation\":[" + std::to_string(pair[0]) + "," + std::to_string(pair[1]) + "]";
  } else {
    json += "\"Translation\":null";
  }
  if (VerQueryValueW(block.data(), L"\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    json += ",\"FixedFileVersion\":\"" + versionNumber(fixed->dwFileVersionMS, fixed->dwFileVersionLS) + "\"";
    json += ",\"FixedProductVersion\":\"" + versionNumber(fixed->dwProductVersionMS, fixed->dwProductVersionLS) + "\"";
  }
  static const wchar_t* const kNames[] = {L"OriginalFilename", L"FileDescription", L"ProductName",
                                          L"CompanyName",      L"FileVersion",     L"ProductVersion",
                                          L"InternalName",     L"LegalCopyright",  L"Comments"};
  for (const wchar_t* name : kNames) {
    std::string text = "null";
    if (translation) {
      wchar_t path[96];
      swprintf(path, std::size(path), L"\\StringFileInfo\\%04x%04x\\%ls", translation->first, translation->second,
               name);
      if (VerQueryValueW(block.data(), path, &value, &length)) {
        // The length counts the terminator in most files, but not in all.
        std::wstring_view string(static_cast<const wchar_t*>(value), length);
        if (const size_t end = string.find(L'\0'); end != std::wstring_view::npos) string = string.substr(0, end);
        text = jsonString(string);
      }
    }
    json += ",\"" + toUtf8(name) + "\":" + text;
  }
  return json + "}";
}

int showResources(const Args& args) {
  if (args.positional.size() != 1) return usage(L"resources: wrong number of arguments");
  const std::wstring& file = args.positional[0];
  UniqueLibrary module(LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!module.valid()) return failWithError(L"resources: LoadLibraryExW(" + file + L")", GetLastError());
  std::string json = "{" + rcdataJson(module.get(), 1) + "," + rcdataJson(module.get(), 2);
  json += ",\"version\":" + versionJson(file);
  json += ",\"resources\":" + resourceListJson(module.get()) + "}";
  printLine(json);
  return kOk;
}

// BeginUpdateResourceW does not always say why it failed (Wine leaves the error at 0 for a
// missing file): ask the file system then.
DWORD beginUpdateError(const std::wstring& file) {
  const DWORD error = GetLastError();
  if (error != ERROR_SUCCESS) return error;
  if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) return GetLastError();
  return ERROR_BAD_EXE_FORMAT;
}

// Replaces or adds one resource and commits.
int replaceResource(const std::wstring& file, const ResourceName& type, const ResourceName& name, WORD language,
                    std::vector<BYTE>& data) {
  ResourceUpdate update(file, false);
  if (!update.valid()) return failWithError(L"BeginUpdateResourceW(" + file + L")", beginUpdateError(file));
  if (!UpdateResourceW(update.get(), type.get(), name.get(), language, data.empty() ? nullptr : data.data(),
                       static_cast<DWORD>(data.size()))) {
    return failWithError(L"UpdateResourceW", GetLastError());
  }
  if (!update.commit()) return failWithError(L"EndUpdateResourceW", GetLastError());
  return kOk;
}

struct StoredResource {
  ResourceName type;
  ResourceName name;
  WORD language = 0;
  std::vector<BYTE> data;
};

// Deletes one resource by writing the file's resources anew without it. The documented way
// (UpdateResourceW with no data) is a silent no-op under Wine, which merges the file's existing
// resources back in at EndUpdateResourceW. Empty resources cannot be written and are dropped.
int deleteResource(const std::wstring& file, const ResourceName& type, const ResourceName& name, WORD language) {
  std::vector<StoredResource> kept;
  bool found = false;
  std::optional<std::wstring> unreadable;
  {
    UniqueLibrary module(LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module.valid()) return failWithError(L"LoadLibraryExW(" + file + L")", GetLastError());
    forEachResource(module.get(), [&](const ResourceName& t, const ResourceName& n, WORD l, HRSRC info) {
      if (t == type && n == name && l == language) {
        found = true;
        return;
      }
      HGLOBAL loaded = info != nullptr ? LoadResource(module.get(), info) : nullptr;
      const auto* bytes = static_cast<const BYTE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
      if (bytes == nullptr) {
        unreadable = t.text() + L"/" + n.text();
        return;
      }
      kept.push_back(StoredResource{t, n, l, std::vector<BYTE>(bytes, bytes + SizeofResource(module.get(), info))});
    });
  }  // the file must not be mapped while it is rewritten
  if (unreadable) return fail(L"update-resource: cannot read resource " + *unreadable);
  if (!found) {
    return fail(L"update-resource: no resource " + type.text() + L"/" + name.text() + L" in language " +
                std::to_wstring(language));
  }

  ResourceUpdate update(file, true);
  if (!update.valid()) return failWithError(L"BeginUpdateResourceW(" + file + L")", beginUpdateError(file));
  for (StoredResource& resource : kept) {
    if (!UpdateResourceW(update.get(), resource.type.get(), resource.name.get(), resource.language,
                         resource.data.empty() ? nullptr : resource.data.data(),
                         static_cast<DWORD>(resource.data.size()))) {
      return failWithError(L"UpdateResourceW", GetLastError());
    }
  }
  if (!update.commit()) return failWithError(L"EndUpdateResourceW", GetLastError());
  return kOk;
}

// Parses <file> <type> <id> <lang>; the fifth word is left to the caller.
std::optional<int> resourceArgs(const Args& args, const wchar_t* command, ResourceName& type, ResourceName& name,
                                WORD& language) {
  if (args.positional.size() != 5) return usage(std::wstring(command) + L": wrong number of arguments");
  type = ResourceName::parse(args.positional[1]);
  name = ResourceName::parse(args.positional[2]);
  const auto lang = parseInteger(args.positional[3]);
  if (!lang || *lang < 0 || *lang > 0xFFFF) return usage(std::wstring(command) + L": bad language " + args.positional[3]);
  language = static_cast<WORD>(*lang);
  return std::nullopt;
}

int updateResourceFromFile(const Args& args) {
  ResourceName type, name;
  WORD language = 0;
  if (const auto status = resourceArgs(args, L"update-resource", type, name, language)) return *status;
  const std::wstring& source = args.positional[4];
  if (source == L"-") return deleteResource(args.positional[0], type, name, language);
  std::string bytes;
  if (!readWholeFile(source, bytes, 0x7FFFFFFF)) {
    return failWithError(L"update-resource: reading " + source, GetLastError());
  }
  std::vector<BYTE> data(bytes.begin(), bytes.end());
  return replaceResource(args.positional[0], type, name, language, data);
}

int updateResourceFromText(const Args& args) {
  ResourceName type, name;
  WORD language = 0;
  if (const auto status = resourceArgs(args, L"update-resource-text", type, name, language)) return *status;
  const std::string text = toUtf8(args.positional[4]);
  std::vector<BYTE> data(text.begin(), text.end());
  return replaceResource(args.positional[0], type, name, language, data);
}

// ---------------------------------------------------------------------------------------------
// Files.

// hold <file> <release-file> [--timeout ms] [--shared]: opens the file for reading with no
// sharing, so that no other process can open it (with --shared for reading and writing, sharing
// both but not deletion, as the C runtime opens files), prints "held", and keeps it until the
// release file exists.
// Fails when the file cannot be opened or the release file does not appear in time (2 min
// unless given).
int holdFile(const Args& args) {
  if (args.positional.size() != 2) return usage(L"hold: wrong number of arguments");
  bool ok = true;
  const auto timeout = integerOption<DWORD>(args, L"--timeout", ok);
  if (!ok) return usage(L"hold: bad --timeout");
  const std::wstring& file = args.positional[0];
  const std::wstring& release = args.positional[1];
  const bool shared = args.has(L"--shared");
  UniqueFile held(CreateFileW(file.c_str(), shared ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                              shared ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!held) return failWithError(L"hold: CreateFileW(" + file + L")", GetLastError());
  printLine("held");
  const bool released =
      pollUntil(timeout.value_or(120000), [&] { return GetFileAttributesW(release.c_str()) != INVALID_FILE_ATTRIBUTES; });
  return released ? kOk : fail(L"hold: " + release + L" did not appear in time");
}

// acl <path>: prints "user <SID>" (this process's user), then the path's access list in SDDL.
int showAcl(const Args& args) {
  if (args.positional.size() != 1) return usage(L"acl: wrong number of arguments");
  HANDLE token = nullptr;
  alignas(8) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  wchar_t* sid = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
      !GetTokenInformation(token, TokenUser, user, sizeof(user), &size) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid)) {
    return failWithError(L"acl: the user's SID", GetLastError());
  }
  CloseHandle(token);
  printLine("user " + toUtf8(sid));
  LocalFree(sid);
  UniqueFile object(CreateFileW(args.positional[0].c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!object) return failWithError(L"acl: CreateFileW(" + args.positional[0] + L")", GetLastError());
  std::vector<BYTE> descriptor(1 << 16);
  if (!GetKernelObjectSecurity(object.get(), DACL_SECURITY_INFORMATION, descriptor.data(),
                               static_cast<DWORD>(descriptor.size()), &size)) {
    return failWithError(L"acl: GetKernelObjectSecurity", GetLastError());
  }
  wchar_t* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                            DACL_SECURITY_INFORMATION, &text, nullptr)) {
    return failWithError(L"acl: ConvertSecurityDescriptorToStringSecurityDescriptorW", GetLastError());
  }
  printLine(toUtf8(text));
  LocalFree(text);
  return kOk;
}

// tamper <file> <replacement> [folder...]: prints "allowed: <attempt>" for each attempt that the
// system let through and exits 1 when there was one, else 0.
int tamper(const Args& args) {
  if (args.positional.size() < 2) return usage(L"tamper: wrong number of arguments");
  const std::wstring& file = args.positional[0];
  std::string replacement;
  {
    UniqueFile source(CreateFileW(args.positional[1].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!source) return failWithError(L"tamper: CreateFileW(" + args.positional[1] + L")", GetLastError());
    replacement.resize(GetFileSize(source.get(), nullptr));
    DWORD read = 0;
    if (!ReadFile(source.get(), replacement.data(), static_cast<DWORD>(replacement.size()), &read, nullptr)) {
      return failWithError(L"tamper: ReadFile", GetLastError());
    }
  }
  int allowed = 0;
  const auto report = [&](const std::wstring& attempt) {
    printLine("allowed: " + toUtf8(attempt));
    ++allowed;
  };
  {
    UniqueFile target(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (target && WriteFile(target.get(), replacement.data(), static_cast<DWORD>(replacement.size()), &written, nullptr)) {
      SetEndOfFile(target.get());
      report(L"overwrite " + file);
    }
  }
  const auto renameAsideAndBack = [&](const std::wstring& path) {
    const std::wstring aside = path + L".aside";
    if (!MoveFileW(path.c_str(), aside.c_str())) return;
    report(L"rename " + path);
    MoveFileW(aside.c_str(), path.c_str());
  };
  renameAsideAndBack(file);
  for (size_t i = 2; i < args.positional.size(); ++i) renameAsideAndBack(args.positional[i]);
  if (DeleteFileW(file.c_str())) report(L"delete " + file);
  return allowed == 0 ? kOk : kFailed;
}

// watch-processes <exe-name> <release-file> [--timeout ms]: prints "watching", then the full
// image path of every process of that file name that starts until the release file exists
// (2 min unless given). Snapshots follow each other within milliseconds, so that even a short
// process is seen.
int watchProcesses(const Args& args) {
  if (args.positional.size() != 2) return usage(L"watch-processes: wrong number of arguments");
  bool ok = true;
  const auto timeout = integerOption<DWORD>(args, L"--timeout", ok);
  if (!ok) return usage(L"watch-processes: bad --timeout");
  const std::wstring& name = args.positional[0];
  const std::wstring& release = args.positional[1];
  std::set<DWORD> known;
  bool first = true;
  const bool released = pollUntil(timeout.value_or(120000), [&] {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
      // Processes running when the watch began are not reported. A process just made may not
      // have its file name yet: it is looked at again in the next snapshot.
      if (entry.szExeFile[0] == L'\0' && !first) continue;
      if (!known.insert(entry.th32ProcessID).second || first || !equalsIgnoreCase(entry.szExeFile, name)) continue;
      UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
      wchar_t path[MAX_PATH * 2];
      DWORD size = static_cast<DWORD>(std::size(path));
      printLine(toUtf8(process && QueryFullProcessImageNameW(process.get(), 0, path, &size) ? path : entry.szExeFile));
    }
    if (first) printLine("watching");
    first = false;
    return GetFileAttributesW(release.c_str()) != INVALID_FILE_ATTRIBUTES;
  });
  return released ? kOk : fail(L"watch-processes: " + release + L" did not appear in time");
}

// ---------------------------------------------------------------------------------------------

int dispatch(int argc, wchar_t** argv) {
  if (argc < 2) return usage(L"missing command");
  const std::wstring command = argv[1];
  if (command == L"help" || command == L"--help") {
    fwrite(kUsageText, 1, sizeof kUsageText - 1, stdout);
    fflush(stdout);
    return kOk;
  }
  // `run` passes everything after the program through untouched, so it parses its own words.
  if (command == L"run") return runProgram(2, argc, argv);

  Args args;
  if (const auto error = parseArgs(2, argc, argv, args)) return usage(*error);
  if (command == L"list") return listWindows(args);
  if (command == L"wait-window") return waitWindow(args);
  if (command == L"wait-gone") return waitGone(args);
  if (command == L"click") return clickButton(args);
  if (command == L"close") return closeWindow(args);
  if (command == L"send") return sendMessage(args);
  if (command == L"text") return windowText(args);
  if (command == L"watch-text") return watchText(args);
  if (command == L"resources") return showResources(args);
  if (command == L"update-resource") return updateResourceFromFile(args);
  if (command == L"update-resource-text") return updateResourceFromText(args);
  if (command == L"hold") return holdFile(args);
  if (command == L"watch-processes") return watchProcesses(args);
  if (command == L"tamper") return tamper(args);
  if (command == L"acl") return showAcl(args);
  return usage(L"unknown command " + command);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  try {
    return dispatch(argc, argv);
  } catch (const std::exception& e) {
    writeLine(stderr, std::string("wintest: ") + e.what());
  } catch (...) {
    writeLine(stderr, "wintest: unexpected error");
  }
  return kFailed;
}
