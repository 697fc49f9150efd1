// Unpacks an archive with the setup program's unpacker, to compare it with other unpackers.
//   unzip_probe <archive> <destination> [stop-after-reports] [threads]
// (stop-after-reports -1: never stop; threads 0: the unpacker chooses)
// Prints "result: true|false", "reports: N", "max: P" and "seconds: S" (the unpacking alone,
// without the program's start and end); an error prints "error: <text>" and
// exits with the code the error calls for (102 for data that cannot be read), else 3.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "payload/zip_unpackager.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: unzip_probe <archive> <destination> [stop-after-reports]\n", stderr);
    return 2;
  }
  const long stopAfter = argc > 3 ? std::wcstol(argv[3], nullptr, 10) : -1;
  const unsigned threads = argc > 4 ? static_cast<unsigned>(std::wcstoul(argv[4], nullptr, 10)) : 0;
  long reports = 0;
  std::int32_t max = 0;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  try {
    const bool result = ZipUnpackager(L"tmp.zip").unpack(argv[1], argv[2], [&](std::int32_t p) {
      ++reports;
      if (p > max) max = p;
      return stopAfter >= 0 && reports >= stopAfter;
    }, threads);
    QueryPerformanceCounter(&end);
    std::printf("result: %s\nreports: %ld\nmax: %d\nseconds: %.3f\n", result ? "true" : "false", reports,
                static_cast<int>(max), static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart);
    return 0;
  } catch (const ZipUnpackagerException& e) {
    std::printf("error: %s\n", e.what());
    return e.exitCode() != 0 ? e.exitCode() : 3;
  } catch (const std::exception& e) {
    std::printf("error: %s\n", e.what());
    return 3;
  }
}
