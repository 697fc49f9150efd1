// The setup program's runtime as it is linked: this program is built with the setup program's
// flags and link pieces (the platform's threads under the C++ runtime, its error-raising
// functions stood in for, the archive library without its decompression layer). It checks what
// those pieces carry: a static made once when two threads need it at the same moment, an error
// raised on a worker thread and caught on the window's, and an entry that stores nothing. It
// prints each failed check and exits with the number of them.
#include <windows.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "failure.h"
#include "file_io.h"
#include "payload/zip_unpackager.h"
#include "raw_zip.h"
#include "threads.h"

namespace {

int failures = 0;

void check(bool holds, const char* what) {
  if (holds) return;
  std::printf("failed: %s\n", what);
  std::fflush(stdout);
  ++failures;
}

// Both threads ask for the static after the same event; its constructor is slow enough for the
// second to arrive while the first is making it.
LONG constructions = 0;
struct Slow {
  Slow() : value(InterlockedIncrement(&constructions)) { Sleep(200); }
  LONG value;
};
const Slow& slowStatic() {
  static const Slow made;
  return made;
}

void staticFromTwoThreads() {
  const HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  LONG seen[2] = {};
  auto ask = [&](int i) {
    WaitForSingleObject(go, INFINITE);
    seen[i] = slowStatic().value;
  };
  {
    Thread first([&] { ask(0); });
    Thread second([&] { ask(1); });
    SetEvent(go);
  }
  CloseHandle(go);
  check(constructions == 1, "the static is made once");
  check(seen[0] == 1 && seen[1] == 1, "both threads see the one static, made");
}

void errorFromAWorker() {
  BackgroundTask task;
  // The library's own error (through the stand-in), then the program's.
  task.start([] { return std::string("abc").at(7) == 'x'; });
  try {
    (void)task.result();
    check(false, "the library's error reaches the waiting thread");
  } catch (const std::exception& e) {
    check(std::string(e.what()).find("basic_string::at") != std::string::npos, "the library's text comes along");
  }
  task.start([]() -> bool { throw Failure("from the worker"); });
  try {
    (void)task.result();
    check(false, "the program's error reaches the waiting thread");
  } catch (const Failure& e) {
    check(std::string(e.what()) == "from the worker", "the program's error comes as raised");
  }
}

void entriesThatStoreNothing() {
  wchar_t temporary[MAX_PATH];
  GetTempPathW(MAX_PATH, temporary);
  const std::wstring folder = std::wstring(temporary) + L"pondrel-linked-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring archive = folder + L".zip";
  // A deflated entry without data is how some tools write an empty file.
  const std::string bytes = rawZip({{"stored.txt", 0, "", 0, 0}, {"deflated.txt", 8, "", 0, 0}, {"sub/", 0, "", 0, 0}});
  const HANDLE file = CreateFileW(archive.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  CreateDirectoryW(folder.c_str(), nullptr);
  try {
    check(ZipUnpackager(L"empty.zip").unpack(archive, folder, [](std::int32_t) { return false; }, 1),
          "the unpacking ends");
    std::string stored = "x", deflated = "x";
    check(readWholeFile(folder + L"\\stored.txt", stored, 16) && stored.empty(),
          "a stored entry without data is an empty file");
    check(readWholeFile(folder + L"\\deflated.txt", deflated, 16) && deflated.empty(),
          "a deflated entry without data is an empty file");
    const DWORD sub = GetFileAttributesW((folder + L"\\sub").c_str());
    check(sub != INVALID_FILE_ATTRIBUTES && (sub & FILE_ATTRIBUTE_DIRECTORY), "the folder entry is a folder");
  } catch (const std::exception& e) {
    std::printf("failed: the entries unpack: %s\n", e.what());
    ++failures;
  }
  DeleteFileW((folder + L"\\stored.txt").c_str());
  DeleteFileW((folder + L"\\deflated.txt").c_str());
  RemoveDirectoryW((folder + L"\\sub").c_str());
  RemoveDirectoryW(folder.c_str());
  DeleteFileW(archive.c_str());
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  staticFromTwoThreads();
  errorFromAWorker();
  entriesThatStoreNothing();
  std::printf("%d failed\n", failures);
  return failures;
}
