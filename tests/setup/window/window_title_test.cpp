#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <new>
#include "threads.h"
#include <string>

#include "window/app.h"
#include "window/installer_slot.h"
#include "window/progress_window.h"
#include "window/window_title.h"

namespace {

// The next allocation of the thread that sets this fails, as it would with the memory exhausted.
thread_local bool failNextAllocation = false;

}  // namespace

// The replacements themselves pair malloc with free, which the compiler cannot tell.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (failNextAllocation) {
    failNextAllocation = false;
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size ? size : 1)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

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

// Answers the first "Error" box of this process with OK (within a generous minute) and gives
// its message; it runs beside the thread that the box blocks.
std::wstring answerErrorBox() {
  for (int attempt = 0; attempt < 600; ++attempt, Sleep(100)) {
    HWND box = FindWindowW(L"#32770", L"Error");
    DWORD process = 0;
    if (!box || !GetWindowThreadProcessId(box, &process) || process != GetCurrentProcessId()) continue;
    wchar_t text[256] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 256);  // a message box's text
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return text;
  }
  return L"no box";
}

// An error at the program's entry, or while its window handles a message, is shown in the error
// box like every other; it never leaves them (the program would end without a word).
TEST(Edges, NoErrorLeavesTheEntryOrTheWindowProcedure) {
  HINSTANCE self = GetModuleHandleW(nullptr);
  std::wstring answered;
  auto answer = [&] {
    answered = answerErrorBox();
    return true;
  };
  BackgroundTask answering;
  answering.start(answer);
  failNextAllocation = true;  // the program's own path
  EXPECT_EQ(runPondrel(self, SW_HIDE), 0);
  answering.wait();
  EXPECT_EQ(answered, L"std::bad_alloc");

  ASSERT_TRUE(ProgressWindow::registerClass(self));
  InstallerSlot slot;
  ProgressWindow progress(self, slot);
  HWND window = progress.create(L"Edges");
  answering.start(answer);
  failNextAllocation = true;  // the line's new text
  EXPECT_EQ(SendMessageW(window, WM_PROGRESS, 0, 57), 0);
  answering.wait();
  EXPECT_EQ(answered, L"std::bad_alloc");
  SendMessageW(window, WM_PROGRESS, 0, 58);  // and the window goes on
  wchar_t line[64] = {};
  GetDlgItemTextW(window, 1000, line, 64);
  EXPECT_STREQ(line, L"Progress: 58%");
  DestroyWindow(window);
}

}  // namespace
