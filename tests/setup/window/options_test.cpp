#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "run_log.h"
#include "test_files.h"
#include "window/options.h"

namespace {

// Each command line is split as the platform splits it (its own splitter is the reference) and
// read for the options; what the program does not know stays ignored.
TEST(Options, SplitAsThePlatformDoesAndMatchedIgnoringCase) {
  const struct {
    const wchar_t* commandLine;
    bool quiet, help, log;
    const wchar_t* logPath;
    std::vector<std::wstring> ignored;
  } cases[] = {
      {L"setup.exe", false, false, false, L"", {}},
      {L"\"C:\\Down loads\\setup.exe\" /quiet", true, false, false, L"", {}},
      {L"setup.exe -QUIET /Log \"C:\\my logs\\a.log\"", true, false, true, L"C:\\my logs\\a.log", {}},
      {L"setup.exe /log", false, false, true, L"", {}},
      {L"setup.exe /log /quiet", true, false, true, L"", {}},
      {L"setup.exe /log \"\" /quiet", true, false, true, L"", {}},
      {L"setup.exe /? /quiet", true, true, false, L"", {}},
      {L"setup.exe -? /passive /l*v x.log", false, true, false, L"", {L"/passive", L"/l*v", L"x.log"}},
      {L"setup.exe /quiet:yes quiet //quiet", false, false, false, L"", {L"/quiet:yes", L"quiet", L"//quiet"}},
      {L"setup.exe /log a\\\\\"b c\" \"d\\\"e\" \"f\"\"g\"\t h\\\\", false, false, true, L"a\\b c",
       {L"d\"e", L"f\"g\t h\\\\"}},
      {L"setup.exe    /log   C:\\x\\y.log   ", false, false, true, L"C:\\x\\y.log", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.commandLine)));
    const std::vector<std::wstring> arguments = splitArguments(c.commandLine);
    int count = 0;
    LPWSTR* platform = CommandLineToArgvW(c.commandLine, &count);
    ASSERT_NE(platform, nullptr);
    EXPECT_EQ(arguments, std::vector<std::wstring>(platform, platform + count));
    LocalFree(platform);

    const Options options = parseOptions(arguments);
    EXPECT_EQ(options.quiet, c.quiet);
    EXPECT_EQ(options.help, c.help);
    EXPECT_EQ(options.log, c.log);
    EXPECT_EQ(options.logPath, c.logPath);
    EXPECT_EQ(options.ignored, c.ignored);
  }
}

void setWriteTime(const std::wstring& path, std::uint64_t value) {
  const HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const FILETIME time{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
  SetFileTime(file, nullptr, nullptr, &time);
  CloseHandle(file);
}

// Where logs go and how many stay: a log per run, named by the program and the second, another
// name for a second run in the same second, the newest ten of them with their installer logs, and
// the temporary folder when the folder asked for is missing or cannot be written.
TEST(RunLog, NamedPerRunNewestTenKeptAndTheTemporaryFolderAsFallback) {
  TestFolder temp;
  const std::wstring folder = temp.path() + L"\\";
  const SYSTEMTIME second{2026, 12, 3, 9, 7, 5, 9, 0};
  // Twelve older logs, of this and of other programs, the oldest with its installer log; files
  // that only look alike stay.
  const std::uint64_t day = 864000000000ull;
  for (int i = 0; i < 12; ++i) {
    const std::wstring name = folder + L"Pondrel " + (i % 2 ? L"Other" : L"Client") + L" 2026-11-" +
                              std::to_wstring(10 + i) + L" 08-00-00.log";
    writeFile(name, "old");
    setWriteTime(name, 133000000000000000ull + static_cast<std::uint64_t>(i) * day);
  }
  writeFile(folder + L"Pondrel Client 2026-11-10 08-00-00 installer.log", "old installer");
  const auto others = {L"Pondrel notes.log", L"Pondrel Client 2026-11-1 08-00-00.log", L"Client.log"};
  for (const wchar_t* other : others) writeFile(folder + other, "not ours"), setWriteTime(folder + other, 1);

  std::vector<std::wstring> opened;
  for (int run = 0; run < 3; ++run) {
    ASSERT_TRUE(run_log::open(L"Client", L"", folder, second));
    run_log::line("step %s %u", L"one", 7u);
    opened.push_back(run_log::path());
    run_log::close();
  }
  EXPECT_EQ(opened, (std::vector<std::wstring>{folder + L"Pondrel Client 2026-12-09 07-05-09.log",
                                                folder + L"Pondrel Client 2026-12-09 07-05-09 (2).log",
                                                folder + L"Pondrel Client 2026-12-09 07-05-09 (3).log"}));
  EXPECT_EQ(readFile(opened[0]).substr(0, 3) + readFile(opened[0]).substr(12), "\xEF\xBB\xBFstep one 7\r\n");
  // Ten logs of the pattern: the three new ones and the seven newest old ones.
  int logs = 0;
  for (const std::wstring& name : listFolder(temp.path())) {
    if (name.find(L" 2026-1") != std::wstring::npos && name.find(L"installer") == std::wstring::npos) ++logs;
  }
  EXPECT_EQ(logs, 10 + 1);  // the one with a one-digit day is not a log of ours
  EXPECT_FALSE(exists(folder + L"Pondrel Client 2026-11-14 08-00-00.log"));
  EXPECT_TRUE(exists(folder + L"Pondrel Other 2026-11-15 08-00-00.log"));
  EXPECT_FALSE(exists(folder + L"Pondrel Client 2026-11-10 08-00-00 installer.log"));
  for (const wchar_t* other : others) EXPECT_TRUE(exists(folder + other));

  // Asked for a file: there, with its installer log beside it. A missing folder and a file that
  // cannot be written (a folder's name here) fall back to the temporary folder, which the log says.
  TestFolder elsewhere;
  ASSERT_TRUE(run_log::open(L"Client", elsewhere / L"my.log", folder, second));
  EXPECT_EQ(run_log::path(), elsewhere / L"my.log");
  EXPECT_EQ(run_log::installerLogPath(), elsewhere / L"my installer.log");
  run_log::close();
  CreateDirectoryW((elsewhere / L"locked.log").c_str(), nullptr);
  for (const std::wstring& requested : {elsewhere / L"missing\\my.log", elsewhere / L"locked.log"}) {
    ASSERT_TRUE(run_log::open(L"Client", requested, folder, second));
    const std::wstring path = run_log::path();
    run_log::close();
    EXPECT_EQ(path.substr(0, folder.size() + 8), folder + L"Pondrel ");
    EXPECT_NE(readFile(path).find("/log " + std::string(requested.begin(), requested.end())), std::string::npos);
  }
  // No folder at all: no log, and nothing written.
  EXPECT_FALSE(run_log::open(L"Client", L"", folder + L"missing\\", second));
  run_log::line("nowhere");
  EXPECT_EQ(run_log::path(), L"");
}

}  // namespace
