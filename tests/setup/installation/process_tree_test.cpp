#include <gtest/gtest.h>

#include "handles.h"
#include "installation/process_tree.h"
#include "test_files.h"

namespace {

// Starts the test tree: a process that exits at once after starting a child, which starts a
// grandchild that outlives both and marks its end late. With `job` the first process joins it
// before it runs, as the setup program starts setup files.
struct StartedTree {
  UniqueHandle job;
  UniqueHandle process;
  UniqueHandle thread;
  DWORD id = 0;
};

StartedTree startTree(const std::wstring& markerFolder, bool inJob, const wchar_t* childLinger) {
  SetEnvironmentVariableW(L"PONDREL_MARKER_DIR", markerFolder.c_str());
  SetEnvironmentVariableW(L"PONDREL_TREE_DELAY", L"1500");
  SetEnvironmentVariableW(L"PONDREL_TREE_CHILD_LINGER", childLinger);
  std::wstring commandLine = L"\"" + siblingProgram(L"tree_setup.exe") + L"\" ";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  StartedTree tree;
  if (inJob) tree.job.reset(CreateJobObjectW(nullptr, nullptr));
  EXPECT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, inJob ? CREATE_SUSPENDED : 0,
                             nullptr, nullptr, &startup, &process));
  if (inJob) {
    EXPECT_TRUE(AssignProcessToJobObject(tree.job.get(), process.hProcess));
    ResumeThread(process.hThread);
  }
  SetEnvironmentVariableW(L"PONDREL_TREE_CHILD_LINGER", nullptr);
  tree.process.reset(process.hProcess);
  tree.thread.reset(process.hThread);
  tree.id = process.dwProcessId;
  return tree;
}

void expectWaitOutlastsGrandchild(bool inJob, const wchar_t* childLinger) {
  TestFolder markers;
  StartedTree started = startTree(markers.path(), inJob, childLinger);
  ProcessTree tree(started.id, started.process.get(), started.job.get());
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

TEST(ProcessTree, JobCatchesAGrandchildWhoseParentEndedBetweenScans) {
  expectWaitOutlastsGrandchild(true, nullptr);
}

// Without a job (a process that left it, as elevated ones do) the snapshots find a child while
// it runs, and its children after it ended.
TEST(ProcessTree, SnapshotsFollowChildrenOfEndedParents) { expectWaitOutlastsGrandchild(false, L"600"); }

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
