#include <gtest/gtest.h>
#include <windows.h>

#include "error_report.h"

namespace {

TEST(ErrorReport, BoxTextNamesOperationCodeAndSystemText) {
  const std::wstring systemText = systemErrorText(ERROR_CLASS_ALREADY_EXISTS);
  ASSERT_FALSE(systemText.empty());
  EXPECT_EQ(lastErrorBoxText(L"RegClass", ERROR_CLASS_ALREADY_EXISTS, systemText),
            L"RegClass failed with error 1410: " + systemText);
  // Codes are shown signed, as the platform's own examples print them.
  EXPECT_EQ(lastErrorBoxText(L"InitInst", static_cast<long>(0x80004005u), L""),
            L"InitInst failed with error -2147467259: ");
}

TEST(ErrorReport, LongSystemTextIsNotCut) {
  const std::wstring longText(5000, L'x');
  EXPECT_EQ(lastErrorBoxText(L"RegClass", 5, longText).size(), std::wstring(L"RegClass failed with error 5: ").size() + 5000);
}

TEST(ErrorReport, UnknownCodeHasNoSystemText) { EXPECT_EQ(systemErrorText(0x20001234u), L""); }

}  // namespace
