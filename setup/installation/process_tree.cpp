#include "installation/process_tree.h"

#include <tlhelp32.h>

namespace {

constexpr DWORD kQueryLimited = 0x1000;  // PROCESS_QUERY_LIMITED_INFORMATION, Vista and later

HANDLE openTracked(DWORD id) {
  // Limited query rights are granted even on elevated processes; XP only knows the full ones.
  HANDLE process = OpenProcess(SYNCHRONIZE | kQueryLimited, FALSE, id);
  if (!process) process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, id);
  return process;
}

std::uint64_t asNumber(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// 0 when unknown. A process caught while it is being made may not have its time yet (Wine then
// reports a placeholder far in the future), so a time after now counts as unknown.
std::uint64_t creationTime(HANDLE process) {
  FILETIME created, exited, kernel, user, now;
  if (!process || !GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  GetSystemTimeAsFileTime(&now);
  return asNumber(created) > asNumber(now) ? 0 : asNumber(created);
}

}  // namespace

UniqueHandle createTrackingJob() {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  if (job && !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
    // A job that would refuse a setup's own children would break the setup; the snapshots alone
    // then follow the tree.
    job.reset();
  }
  return job;
}

ProcessTree::ProcessTree(DWORD processId, HANDLE process, HANDLE job) : job_(job) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
  tracked_.push_back(Tracked{processId, creationTime(copy), UniqueHandle(copy)});
}

ProcessTree::Tracked* ProcessTree::find(DWORD id) {
  // The newest record: an identifier can stand for an ended process and a later one.
  for (auto it = tracked_.rbegin(); it != tracked_.rend(); ++it) {
    if (it->id == id) return &*it;
  }
  return nullptr;
}

std::uint64_t ProcessTree::createdOf(Tracked& process) {
  // Asked again until known: it may not have been set yet when the process was first seen.
  if (process.created == 0) process.created = creationTime(process.handle.get());
  return process.created;
}

bool ProcessTree::couldBeChildOf(Tracked& parent, std::uint64_t created) {
  if (created == 0 || createdOf(parent) == 0) return true;  // nothing better is known
  // A process older than the parent names an earlier owner of the parent's identifier...
  if (created < parent.created) return false;
  // ...and one created after the parent ended names a later one.
  FILETIME creation, exit, kernel, user;
  if (parent.handle && !running(parent) &&
      GetProcessTimes(parent.handle.get(), &creation, &exit, &kernel, &user)) {
    const std::uint64_t ended = asNumber(exit);
    if (ended != 0 && created > ended) return false;
  }
  return true;
}

bool ProcessTree::running(const Tracked& process) {
  if (!process.handle) return true;  // seen in the snapshot, and nothing better is known
  return WaitForSingleObject(process.handle.get(), 0) == WAIT_TIMEOUT;
}

bool ProcessTree::trackJobMembers() {
  if (!job_) return false;
  // Room for many processes; a list that does not fit still names the first ones.
  std::vector<ULONG_PTR> buffer(2 + 1024);
  auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
  list->NumberOfAssignedProcesses = 1024;
  if (!QueryInformationJobObject(job_, JobObjectBasicProcessIdList, list,
                                 static_cast<DWORD>(buffer.size() * sizeof(ULONG_PTR)), nullptr) &&
      GetLastError() != ERROR_MORE_DATA) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i) {
    if (consider(static_cast<DWORD>(list->ProcessIdList[i]), nullptr)) found = true;
  }
  return found;
}

bool ProcessTree::consider(DWORD id, const DWORD* parentId) {
  Tracked* self = find(id);
  if (self && running(*self)) return true;
  Tracked* parent = parentId ? find(*parentId) : nullptr;
  if (parentId && !parent) return false;
  UniqueHandle handle(openTracked(id));
  const std::uint64_t created = creationTime(handle.get());
  // A tracked process that has ended can see its identifier given to a new process: only a
  // different creation time tells the new one apart.
  if (self && (created == 0 || created == createdOf(*self))) return false;
  if (parent && !couldBeChildOf(*parent, created)) return false;
  tracked_.push_back(Tracked{id, created, std::move(handle)});
  return true;
}

bool ProcessTree::scan() {
  const bool joined = trackJobMembers();
  UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return joined;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  if (!Process32FirstW(snapshot.get(), &entry)) return joined;

  bool found = joined;
  do {
    if (consider(entry.th32ProcessID, &entry.th32ParentProcessID)) found = true;
  } while (Process32NextW(snapshot.get(), &entry));
  return found;
}

void ProcessTree::wait(DWORD pauseMilliseconds, const std::function<void(DWORD)>& sleep) {
  while (scan()) sleep(pauseMilliseconds);
}
