#include <gtest/gtest.h>
#include <windows.h>

#include "error_report.h"

namespace {

TEST(ErrorReport, BoxAndReportTextsNameTheCodeAsThePlatformPrintsIt) {
  const std::wstring systemText = systemErrorText(ERROR_CLASS_ALREADY_EXISTS);
  ASSERT_FALSE(systemText.empty());
  EXPECT_EQ(lastErrorBoxText(L"RegClass", ERROR_CLASS_ALREADY_EXISTS, systemText),
            L"RegClass failed with error 1410: " + systemText);
  // Codes are shown signed, as the platform's own examples print them, and no text is cut.
  EXPECT_EQ(lastErrorBoxText(L"InitInst", static_cast<long>(0x80004005u), L""),
            L"InitInst failed with error -2147467259: ");
  EXPECT_EQ(lastErrorBoxText(L"RegClass", 5, std::wstring(5000, L'x')).size(), 30u + 5000);

  // The builder's report keeps the system's "%1" insert; a code without a text is shown signed.
  EXPECT_NE(systemReportText(ERROR_BAD_EXE_FORMAT).find(L"%1"), std::wstring::npos);
  const std::pair<unsigned long, const wchar_t*> unknown[] = {
      {0x20001234u, L"Unknown error 536875572"}, {0xE0001234u, L"Unknown error -536866252"},
      {0xFFFFFFFFu, L"Unknown error -1"}};
  for (const auto& [code, expected] : unknown) EXPECT_EQ(systemReportText(code), expected) << code;
}

}  // namespace
