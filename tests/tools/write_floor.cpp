// Wine's floor for unpacking a tree: reads every file below <source> into memory, then creates
// the same folders and files below <destination> with plain Win32 calls on <threads> threads and
// prints the seconds that took. No archive, no decompression: what any unpacker pays at least.
//   write_floor <source> <destination> <threads>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "threads.h"

namespace {

struct File {
  std::wstring relative;
  std::string data;
};

void collect(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>& folders,
             std::vector<File>& files) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((root + relative + L"*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      folders.push_back(relative + name);
      collect(root, relative + name + L"\\", folders, files);
      continue;
    }
    File file{relative + name, std::string(found.nFileSizeLow, '\0')};
    HANDLE handle = CreateFileW((root + file.relative).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    DWORD read = 0;
    if (handle != INVALID_HANDLE_VALUE) {
      if (!file.data.empty()) ReadFile(handle, file.data.data(), static_cast<DWORD>(file.data.size()), &read, nullptr);
      CloseHandle(handle);
    }
    files.push_back(std::move(file));
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const std::wstring source = std::wstring(argv[1]) + L"\\", destination = std::wstring(argv[2]) + L"\\";
  const unsigned threads = static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10));
  std::vector<std::wstring> folders;
  std::vector<File> files;
  collect(source, L"", folders, files);

  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  for (const std::wstring& folder : folders) CreateDirectoryW((destination + folder).c_str(), nullptr);
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i = next++; i < files.size(); i = next++) {
      // New files in an empty folder: created as new, never emptied (under Wine, emptying makes
      // ext4 write a file's data out when it is closed).
      HANDLE handle = CreateFileW((destination + files[i].relative).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle == INVALID_HANDLE_VALUE) continue;
      DWORD written = 0;
      if (!files[i].data.empty()) {
        WriteFile(handle, files[i].data.data(), static_cast<DWORD>(files[i].data.size()), &written, nullptr);
      }
      CloseHandle(handle);
    }
  };
  std::vector<Thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  pool.clear();
  QueryPerformanceCounter(&end);
  std::printf("%.3f\n", static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart);
  return 0;
}
