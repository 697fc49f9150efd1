// Unpacks an archive with the setup program's unpacker, for tests that need to see the process
// end (the unpacker ends it with 102 on a read error) or to compare with other unpackers.
//   unzip_probe <archive> <destination> [stop-after-reports]
// Prints "result: true|false", "reports: N" and "max: P"; an error prints "error: <text>" and
// exits 3.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "text.h"
#include "payload/zip_unpackager.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: unzip_probe <archive> <destination> [stop-after-reports]\n", stderr);
    return 2;
  }
  const long stopAfter = argc > 3 ? std::wcstol(argv[3], nullptr, 10) : -1;
  long reports = 0;
  std::int32_t max = 0;
  try {
    const bool result = ZipUnpackager(L"tmp.zip").unpack(toNarrow(argv[1]), toNarrow(argv[2]), [&](std::int32_t p) {
      ++reports;
      if (p > max) max = p;
      return stopAfter >= 0 && reports >= stopAfter;
    });
    std::printf("result: %s\nreports: %ld\nmax: %d\n", result ? "true" : "false", reports, static_cast<int>(max));
    return 0;
  } catch (const std::exception& e) {
    std::printf("error: %s\n", e.what());
    return 3;
  }
}
