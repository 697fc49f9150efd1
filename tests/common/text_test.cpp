#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>

#include "text.h"

namespace {

const std::wstring kCyrillic = L"\u041f\u0440\u0438\u0432\u0435\u0442, \u043c\u0438\u0440";  // "Привет, мир"

TEST(TextConversion, EmptyTextStaysEmpty) {
  EXPECT_EQ(toNarrow(L""), "");
  EXPECT_EQ(toWide(""), L"");
  EXPECT_EQ(toNarrow(L"", 1251), "");
  EXPECT_EQ(toWide("", 932), L"");
}

TEST(TextConversion, CyrillicThroughCodePage1251) {
  const std::string narrow = toNarrow(kCyrillic, 1251);
  ASSERT_EQ(narrow.size(), kCyrillic.size());  // one byte per character
  EXPECT_EQ(static_cast<unsigned char>(narrow[0]), 0xCF);  // "П" in 1251
  EXPECT_EQ(toWide(narrow, 1251), kCyrillic);
}

TEST(TextConversion, DoubleByteCodePageConvertsWholeText) {
  // Japanese: each of these characters takes two bytes in code page 932.
  const std::wstring japanese = L"\u65e5\u672c\u8a9e\u30c6\u30b9\u30c8";
  const std::string narrow = toNarrow(japanese, 932);
  EXPECT_EQ(narrow.size(), japanese.size() * 2);
  EXPECT_EQ(toWide(narrow, 932), japanese);
}

TEST(TextConversion, EmbeddedZerosAreConvertedNotTruncated) {
  const std::wstring text(L"a\0b", 3);
  EXPECT_EQ(toNarrow(text), std::string("a\0b", 3));
  EXPECT_EQ(toWide(std::string("a\0b", 3)), text);
}

TEST(TextConversion, Utf8RoundTrip) {
  EXPECT_EQ(toUtf8(kCyrillic).size(), kCyrillic.size() * 2 - 2);  // 9 two-byte letters, ',' and ' '
  EXPECT_EQ(fromUtf8(toUtf8(kCyrillic)), kCyrillic);
}

// Run by the test suite on an English and on a Russian system. On the Russian one the ANSI code
// page is 1251 and Cyrillic must survive the round trip through it.
TEST(AnsiCodePage, CyrillicRoundTripsOnRussianSystem) {
  const char* expected = std::getenv("PONDREL_EXPECT_ACP");
  if (!expected) GTEST_SKIP() << "run with PONDREL_EXPECT_ACP set to the system's ANSI code page";
  ASSERT_EQ(GetACP(), static_cast<UINT>(std::atoi(expected)));
  if (GetACP() != 1251) GTEST_SKIP() << "not a Cyrillic code page";
  const std::string narrow = toNarrow(kCyrillic);
  EXPECT_EQ(narrow, toNarrow(kCyrillic, 1251));
  EXPECT_EQ(toWide(narrow), kCyrillic);
}

TEST(AnsiCodePage, CharactersOutsideTheCodePageDoNotVanish) {
  // A character the code page lacks becomes the default character, keeping the text's length.
  const std::wstring text = L"a\u4e2d";
  if (GetACP() == 65001 || GetACP() == 936) GTEST_SKIP() << "code page holds the character";
  EXPECT_EQ(toNarrow(text).size(), 2u);
}

}  // namespace
