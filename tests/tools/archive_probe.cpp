// Archives a folder as the builder does, with a given number of compressing threads, to compare
// the archives that different numbers make.
//   archive_probe <folder> <archive> <threads>
// Exit code 0 when the archive was written; otherwise the error on stderr and 1 (2: bad usage).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <exception>
#include <filesystem>

#include "folder_archive.h"
#include "paths.h"
#include "text.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fputs("usage: archive_probe <folder> <archive> <threads>\n", stderr);
    return 2;
  }
  try {
    const std::wstring archive = fullPath(argv[2]);
    FolderArchive(archive, archive, std::filesystem::temp_directory_path().wstring())
        .write(extendedPath(argv[1]), argv[1], static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10)));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
