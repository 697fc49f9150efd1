// The conversions of text.h on Windows: the platform's own code page tables.
#include <windows.h>

#include <climits>

#include "text.h"

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

std::string toUtf8(const std::wstring& text) { return toNarrow(text, CP_UTF8); }

std::wstring fromUtf8(const std::string& text) { return toWide(text, CP_UTF8); }

std::wstring fromStrictUtf8(const std::string& text) { return toWide(text, CP_UTF8, MB_ERR_INVALID_CHARS); }


bool isKnownCodePage(unsigned codePage) { return IsValidCodePage(codePage); }

unsigned defaultNameCodePage() { return GetACP(); }
