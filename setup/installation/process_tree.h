#pragma once
// Waiting for a process and every process it started, directly or through its children, to
// end. Children of exited parents count, and so do children started elevated. Processes are
// found in snapshots of the running processes by their parent's identifier, and told apart by
// identifier and creation time: a process created after a tracked one ended is not it, nor
// its child. The wait holds a handle to each process it tracks (on Windows that also keeps the
// identifier from being handed on). A job object, when the
// caller could put the first process in one, also names every descendant that stayed in it:
// that catches a child that started a grandchild and ended between two snapshots. Elevated
// children leave jobs, so the snapshots still decide.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "handles.h"

// A job for a setup file's process tree. Its processes may start children outside it
// (CREATE_BREAKAWAY_FROM_JOB), as setups that manage jobs of their own must on systems without
// nested jobs; the snapshots still follow those children. Null when no job can be made.
[[nodiscard]] UniqueHandle createTrackingJob();

class ProcessTree {
 public:
  // Starts tracking from a process the caller started (its handle is duplicated), and the job
  // it was put in, if any (not owned).
  ProcessTree(DWORD processId, HANDLE process, HANDLE job = nullptr);

  // One look at the running processes: adds new children of tracked processes. True when a
  // tracked process still runs or a new child was found.
  bool scan();

  // Scans until a scan finds nothing running, sleeping `pause` between scans.
  void wait(DWORD pauseMilliseconds = 250, const std::function<void(DWORD)>& sleep = Sleep);

  [[nodiscard]] size_t trackedCount() const { return tracked_.size(); }

 private:
  struct Tracked {
    DWORD id;
    std::uint64_t created;  // 0 when unknown
    UniqueHandle handle;    // null when the process could not be opened
  };
  [[nodiscard]] Tracked* find(DWORD id);
  [[nodiscard]] static std::uint64_t createdOf(Tracked& process);
  [[nodiscard]] static bool running(const Tracked& process);
  // Whether a process created at `created` can have been started by `parent`.
  [[nodiscard]] static bool couldBeChildOf(Tracked& parent, std::uint64_t created);
  // Tracks the job's processes not tracked yet; true when one was found running.
  bool trackJobMembers();
  // Looks at one running process: true when it is tracked, or is now tracked because it is a
  // job member (`parentId` null) or a child of a tracked process (`parentId` its parent).
  bool consider(DWORD id, const DWORD* parentId);

  std::vector<Tracked> tracked_;
  HANDLE job_;
};
