#include "text.h"

bool survivesNarrowing(const std::wstring& text, unsigned codePage) {
  return toWide(toNarrow(text, codePage), codePage) == text;
}

std::wstring decimalText(long long value) {
  const std::string digits = std::to_string(value);
  return std::wstring(digits.begin(), digits.end());
}

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
