#include <gtest/gtest.h>

#include "window/window_title.h"

namespace {

TEST(WindowTitle, StemOfTheProgramFileName) {
  const struct {
    const wchar_t* path;
    const wchar_t* title;
  } cases[] = {
      {L"C:\\Users\\me\\Downloads\\Pondrel.exe", L"Pondrel"},
      {L"Pondrel.exe", L"Pondrel"},
      {L"D:/dist/ClientSetup.exe", L"ClientSetup"},
      {L"C:\\x\\My Setup.v2.exe", L"My Setup.v2"},
      {L"C:\\x\\setup", L"setup"},
      {L"C:\\x\\setup.", L"setup"},            // a trailing dot goes
      {L"C:\\x\\.hidden", L".hidden"},         // only a leading dot: kept
      {L"C:\\x\\.hidden.exe", L".hidden"},
      {L"C:\\x\\.", L"."},
      {L"C:\\x\\..", L".."},
      {L"C:\\x\\setup.exe:stream", L"setup"},  // alternate stream suffix
      {L"C:\\x\\setup:stream.exe", L"setup"},
      {L"C:\\x.y\\setup", L"setup"},           // dots of folders do not count
      {L"", L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "path " << testing::PrintToString(std::wstring(c.path)));
    EXPECT_EQ(windowTitleFromPath(c.path), c.title);
  }
}

}  // namespace
