#include <gtest/gtest.h>

#include "handles.h"
#include "process_tree.h"
#include "test_files.h"

namespace {

// Starts the test tree: a process that exits at once after starting a child, which starts a
// grandchild that outlives both and marks its end late.
PROCESS_INFORMATION startTree(const std::wstring& markerFolder) {
  SetEnvironmentVariableW(L"PONDREL_MARKER_DIR", markerFolder.c_str());
  SetEnvironmentVariableW(L"PONDREL_TREE_DELAY", L"1500");
  std::wstring commandLine = L"\"" + siblingProgram(L"tree_setup.exe") + L"\" ";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  EXPECT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &process));
  return process;
}

TEST(ProcessTree, WaitsForChildrenOfExitedParents) {
  TestFolder markers;
  const PROCESS_INFORMATION started = startTree(markers.path());
  UniqueHandle process(started.hProcess), thread(started.hThread);
  ProcessTree tree(started.dwProcessId, process.get());
  int pauses = 0;
  tree.wait(50, [&](DWORD milliseconds) {
    ++pauses;
    Sleep(milliseconds);
  });
  // The wait ended only after the grandchild wrote its mark and ended.
  EXPECT_TRUE(exists(markers / L"tree-done.txt"));
  EXPECT_GE(tree.trackedCount(), 3u);
  // It paused between scans instead of scanning back to back.
  EXPECT_GT(pauses, 5);
}

TEST(ProcessTree, EndedProcessWithoutChildrenEndsTheWaitAtOnce) {
  std::wstring commandLine = L"\"" + siblingProgram(L"marker_setup.exe") + L"\"";
  SetEnvironmentVariableW(L"PONDREL_MARKER_DIR", nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &started));
  UniqueHandle process(started.hProcess), thread(started.hThread);
  WaitForSingleObject(process.get(), INFINITE);
  ProcessTree tree(started.dwProcessId, process.get());
  EXPECT_FALSE(tree.scan());
}

TEST(ProcessTree, UnrelatedProcessesAreNotTracked) {
  // This test program's own process is no child of a fresh tree.
  std::wstring commandLine = L"\"" + siblingProgram(L"marker_setup.exe") + L"\"";
  SetEnvironmentVariableW(L"PONDREL_MARKER_HOLD", L"C:\\nonexistent\\never");
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started{};
  ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &started));
  SetEnvironmentVariableW(L"PONDREL_MARKER_HOLD", nullptr);
  UniqueHandle process(started.hProcess), thread(started.hThread);
  ProcessTree tree(started.dwProcessId, process.get());
  EXPECT_TRUE(tree.scan());  // it runs, holding
  EXPECT_EQ(tree.trackedCount(), 1u);
  TerminateProcess(process.get(), 0);
  WaitForSingleObject(process.get(), INFINITE);
  EXPECT_FALSE(tree.scan());
}

}  // namespace
