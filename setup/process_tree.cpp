#include "process_tree.h"

#include <tlhelp32.h>

namespace {

constexpr DWORD kQueryLimited = 0x1000;  // PROCESS_QUERY_LIMITED_INFORMATION, Vista and later

HANDLE openTracked(DWORD id) {
  // Limited query rights are granted even on elevated processes; XP only knows the full ones.
  HANDLE process = OpenProcess(SYNCHRONIZE | kQueryLimited, FALSE, id);
  if (!process) process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, id);
  return process;
}

std::uint64_t creationTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!process || !GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

}  // namespace

ProcessTree::ProcessTree(DWORD processId, HANDLE process, HANDLE job) : job_(job) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
  tracked_.push_back(Tracked{processId, creationTime(copy), UniqueHandle(copy)});
}

const ProcessTree::Tracked* ProcessTree::find(DWORD id) const {
  for (const Tracked& process : tracked_) {
    if (process.id == id) return &process;
  }
  return nullptr;
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
    const auto id = static_cast<DWORD>(list->ProcessIdList[i]);
    if (find(id)) continue;
    UniqueHandle handle(openTracked(id));
    const std::uint64_t created = creationTime(handle.get());
    tracked_.push_back(Tracked{id, created, std::move(handle)});
    found = true;
  }
  return found;
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
    if (const Tracked* self = find(entry.th32ProcessID)) {
      if (running(*self)) found = true;
      continue;
    }
    const Tracked* parent = find(entry.th32ParentProcessID);
    if (!parent) continue;
    // A parent identifier names the process that started this one only if this one is not
    // older than it: an older process names an earlier owner of the identifier.
    UniqueHandle handle(openTracked(entry.th32ProcessID));
    const std::uint64_t created = creationTime(handle.get());
    if (created != 0 && parent->created != 0 && created < parent->created) continue;
    tracked_.push_back(Tracked{entry.th32ProcessID, created, std::move(handle)});
    found = true;
  } while (Process32NextW(snapshot.get(), &entry));
  return found;
}

void ProcessTree::wait(DWORD pauseMilliseconds, const std::function<void(DWORD)>& sleep) {
  while (scan()) sleep(pauseMilliseconds);
}
