#include "text.h"

#include <windows.h>

#include <climits>

std::string toNarrow(const std::wstring& text, unsigned codePage) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int length = static_cast<int>(text.size());
  // Ask for the size first: in a double-byte code page one character may take two bytes.
  const int needed = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string result(static_cast<size_t>(needed), '\0');
  const int written =
      WideCharToMultiByte(codePage, 0, text.data(), length, result.data(), needed, nullptr, nullptr);
  if (written <= 0) return {};
  result.resize(static_cast<size_t>(written));
  return result;
}

namespace {

std::wstring toWide(const std::string& text, unsigned codePage, DWORD flags) {
  if (text.empty() || text.size() >= INT_MAX) return {};
  const int length = static_cast<int>(text.size());
  std::wstring result(text.size() + 1, L'\0');
  const int written = MultiByteToWideChar(codePage, flags, text.data(), length, result.data(), length + 1);
  if (written <= 0) return {};
  result.resize(static_cast<size_t>(written));
  return result;
}

}  // namespace

std::wstring toWide(const std::string& text, unsigned codePage) {
  // UTF-8 rejects MB_PRECOMPOSED, so the flag is only passed for real code pages.
  return toWide(text, codePage, codePage == CP_UTF8 ? 0 : MB_PRECOMPOSED);
}

bool survivesNarrowing(const std::wstring& text, unsigned codePage) {
  return toWide(toNarrow(text, codePage), codePage) == text;
}

std::wstring decimalText(long long value) {
  const std::string digits = std::to_string(value);
  return std::wstring(digits.begin(), digits.end());
}

std::string toUtf8(const std::wstring& text) { return toNarrow(text, CP_UTF8); }

std::wstring fromUtf8(const std::string& text) { return toWide(text, CP_UTF8); }

std::wstring fromStrictUtf8(const std::string& text) { return toWide(text, CP_UTF8, MB_ERR_INVALID_CHARS); }

wchar_t foldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

std::wstring foldAscii(std::wstring_view text) {
  std::wstring folded(text);
  for (wchar_t& c : folded) c = foldAscii(c);
  return folded;
}

namespace {

template <typename Char>
bool equalFolded(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (foldAscii(static_cast<wchar_t>(a[i])) != foldAscii(static_cast<wchar_t>(b[i]))) return false;
  }
  return true;
}

}  // namespace

bool equalsIgnoringCase(std::wstring_view a, std::wstring_view b) { return equalFolded(a, b); }

bool equalsIgnoringCase(std::string_view a, std::string_view b) { return equalFolded(a, b); }

std::string foldAscii(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = static_cast<char>(foldAscii(static_cast<wchar_t>(static_cast<unsigned char>(c))));
  return folded;
}
