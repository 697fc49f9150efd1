#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

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

struct TreeCase {
  const char* what;
  bool inJob;
  const wchar_t* childLinger;  // null: the child ends as soon as it started the grandchild
  const wchar_t* breakaway;    // non-null: the child is started outside the job
};

StartedTree startTree(const std::wstring& markerFolder, const TreeCase& c) {
  const bool inJob = c.inJob;
  SetEnvironmentVariableW(L"PONDREL_MARKER_DIR", markerFolder.c_str());
  SetEnvironmentVariableW(L"PONDREL_TREE_DELAY", L"1500");
  SetEnvironmentVariableW(L"PONDREL_TREE_CHILD_LINGER", c.childLinger);
  SetEnvironmentVariableW(L"PONDREL_TREE_BREAKAWAY", c.breakaway);
  std::wstring commandLine = L"\"" + siblingProgram(L"tree_setup.exe") + L"\" ";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  StartedTree tree;
  if (inJob) tree.job = createTrackingJob();
  EXPECT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, inJob ? CREATE_SUSPENDED : 0,
                             nullptr, nullptr, &startup, &process));
  if (inJob) {
    EXPECT_TRUE(AssignProcessToJobObject(tree.job.get(), process.hProcess));
    ResumeThread(process.hThread);
  }
  SetEnvironmentVariableW(L"PONDREL_TREE_CHILD_LINGER", nullptr);
  SetEnvironmentVariableW(L"PONDREL_TREE_BREAKAWAY", nullptr);
  tree.process.reset(process.hProcess);
  tree.thread.reset(process.hThread);
  tree.id = process.dwProcessId;
  return tree;
}

// The wait must outlast the grandchild, however the tree is followed: through the job, which
// hands over the grandchild even when its parent ended before the first scan; through the
// snapshots alone (a process that left the job, as elevated ones do), which find a child while it
// runs and its children after it ended; and for a child started outside the job on purpose.
TEST(ProcessTree, WaitOutlastsTheGrandchildAndPausesBetweenScans) {
  const TreeCase cases[] = {{"job, child ends at once", true, nullptr, nullptr},
                            {"snapshots only", false, L"600", nullptr},
                            {"child breaks away from the job", true, L"600", L"1"}};
  for (const TreeCase& c : cases) {
    SCOPED_TRACE(c.what);
    TestFolder markers;
    StartedTree started = startTree(markers.path(), c);
    ASSERT_TRUE(started.process) << "the tree could not start";
    ProcessTree tree(started.id, started.process.get(), started.job.get());
    std::vector<DWORD> pauses;
    tree.wait(50, [&](DWORD milliseconds) {
      pauses.push_back(milliseconds);
      Sleep(milliseconds);
    });
    // The wait ended only after the grandchild wrote its mark and ended.
    EXPECT_TRUE(exists(markers / L"tree-done.txt"));
    // It paused between scans, each time for the pause asked for, instead of scanning back to
    // back: the grandchild alone lives 1.5 s.
    EXPECT_GT(pauses.size(), 5u);
    EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 50u), static_cast<long>(pauses.size()));
  }
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
