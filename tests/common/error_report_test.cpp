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

TEST(ErrorReport, BuilderReportTextKeepsInsertsAndShowsUnknownCodesSigned) {
  const struct {
    unsigned long code;
    std::wstring expected;
  } cases[] = {
      // The system's text for a bad program image holds an insert ("%1").
      {ERROR_BAD_EXE_FORMAT, systemErrorText(ERROR_BAD_EXE_FORMAT)},
      {ERROR_ACCESS_DENIED, systemErrorText(ERROR_ACCESS_DENIED)},
      {0x20001234u, L"Unknown error 536875572"},
      {0xE0001234u, L"Unknown error -536866252"},
      {0xFFFFFFFFu, L"Unknown error -1"},
  };
  ASSERT_NE(systemErrorText(ERROR_BAD_EXE_FORMAT).find(L"%1"), std::wstring::npos);
  for (const auto& c : cases) {
    EXPECT_FALSE(c.expected.empty()) << c.code;
    EXPECT_EQ(systemReportText(c.code), c.expected) << c.code;
  }
}

}  // namespace
