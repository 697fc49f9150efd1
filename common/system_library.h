#pragma once
// Loading DLLs from the system folder only. A setup program is started from download folders
// that may hold anything, so no DLL is ever looked up beside the program or in the current
// folder.
#include <windows.h>

#include <string>

// Limits the process's DLL search to the system folder. Call it first thing in the entry.
// Returns false when the system offers no way to do so (then only the current folder is
// dropped from the search).
bool restrictDllSearchToSystem();

// Full path of a file in the system folder, or empty when the folder cannot be read.
[[nodiscard]] std::wstring systemFolderPath(const std::wstring& fileName);

// Loads a DLL by name from the system folder only; null on failure (GetLastError is kept).
[[nodiscard]] HMODULE loadSystemLibrary(const std::wstring& fileName);

// The entry `name` of the DLL `fileName` loaded from the system folder, which then stays loaded
// for the life of the process; null when either cannot be found. Callers keep the result.
[[nodiscard]] FARPROC systemEntryAddress(const std::wstring& fileName, const char* name);

template <typename Fn>
[[nodiscard]] Fn systemEntry(const std::wstring& fileName, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(systemEntryAddress(fileName, name)));
}

// systemEntry bound on first use and kept, for a function-local `static constinit` binding
// whose type is the SDK's own declaration (`LazySystemEntry<decltype(&MessageBoxW)>`):
// its constructor is constant, so the binding needs no initialisation guard, and threads that
// meet it unbound each bind it, to the same address. An entry that cannot be found is looked
// for again on the next use.
template <typename Fn>
class LazySystemEntry {
 public:
  constexpr LazySystemEntry(const wchar_t* fileName, const char* name) : fileName_(fileName), name_(name) {}
  LazySystemEntry(const LazySystemEntry&) = delete;
  LazySystemEntry& operator=(const LazySystemEntry&) = delete;

  [[nodiscard]] Fn get() {
    void* address = InterlockedCompareExchangePointer(&address_, nullptr, nullptr);
    if (!address) {
      address = reinterpret_cast<void*>(systemEntryAddress(fileName_, name_));
      InterlockedExchangePointer(&address_, address);
    }
    return reinterpret_cast<Fn>(address);
  }

 private:
  const wchar_t* fileName_;
  const char* name_;
  void* volatile address_ = nullptr;
};
