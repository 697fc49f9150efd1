#pragma once
// Conversions between wide text (UTF-16 on Windows, UTF-32 elsewhere) and 8-bit text in a code
// page: on Windows the system's ANSI code page by default, elsewhere UTF-8 by default (the
// console's), and any Windows code page by number on both. Used for exception messages, the
// builder's command-line paths and the setup file name resource.
#include <string>
#include <string_view>

// Converts the whole text (embedded zeros included) to the code page, a character the code page
// lacks becoming "?"; a conversion the platform rejects gives the empty string.
[[nodiscard]] std::string toNarrow(const std::wstring& text, unsigned codePage = 0 /* CP_ACP */);
[[nodiscard]] std::wstring toWide(const std::string& text, unsigned codePage = 0 /* CP_ACP */);
// Whether the text survives toNarrow and toWide unchanged: every character has its own byte or
// bytes in the code page, none stands in for another.
[[nodiscard]] bool survivesNarrowing(const std::wstring& text, unsigned codePage = 0 /* CP_ACP */);

// Whether the platform can convert text to and from this code page.
[[nodiscard]] bool isKnownCodePage(unsigned codePage);
// The code page a setup program's file names are written in unless told otherwise: the
// system's ANSI code page on Windows, 1252 (Western European) elsewhere.
[[nodiscard]] unsigned defaultNameCodePage();

// A number in decimal digits, without the C library's formatting (which would drag its whole
// printf machinery into the setup program).
[[nodiscard]] std::wstring decimalText(long long value);

// UTF-8 conversions, for names that an archive stores as UTF-8.
[[nodiscard]] std::string toUtf8(const std::wstring& text);
[[nodiscard]] std::wstring fromUtf8(const std::string& text);
// Empty for text that is not valid UTF-8, where fromUtf8 puts U+FFFD for what does not decode.
[[nodiscard]] std::wstring fromStrictUtf8(const std::string& text);

// Case folding that does not depend on a locale: only the ASCII letters A to Z become a to z;
// every other character stays as it is.
[[nodiscard]] wchar_t foldAscii(wchar_t c);
[[nodiscard]] std::wstring foldAscii(std::wstring_view text);
[[nodiscard]] bool equalsIgnoringCase(std::wstring_view a, std::wstring_view b);
// The same for 8-bit text (ANSI or UTF-8: bytes outside A to Z stay as they are).
[[nodiscard]] std::string foldAscii(std::string_view text);
[[nodiscard]] bool equalsIgnoringCase(std::string_view a, std::string_view b);
