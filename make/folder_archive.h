#pragma once
// The ZIP archive of a distribution folder: one entry per file below the folder, in walk order,
// named by its path below the folder with "\" between components. Files are compressed on
// several threads before the archive is written; the archive is the same for any number of them.
#include <zip.h>

#include <memory>
#include <string>

#include "packed_files.h"

class FolderArchive {
 public:
  // Opens a new archive at `path`, to be written by write(); `shownPath` names it in messages and
  // `spoolFolder` receives the temporary files of the compression. Raises std::runtime_error
  // "Can't create zip: <shownPath>". Nothing is written unless write() completes.
  FolderArchive(const std::wstring& path, const std::string& shownPath, std::wstring spoolFolder);

  // Archives every file below `folder` (an extended-length path; `shown` names it in messages)
  // with `workers` compressing threads (0: one per processor) and writes the archive; an empty
  // folder gives an archive without entries. Raises std::runtime_error: the walk's errors (see
  // walkFolder), "Can't add file to zip: <file>" for the first file in walk order that cannot be
  // read or changes its size before it is archived, and "Can't create zip: <shownPath>" when the
  // archive cannot be written. After a failure no archive and no temporary file is left.
  void write(const std::wstring& folder, const std::wstring& shown, unsigned workers);

  // The last step of the above: writes the archive of the files walked into `packed` and packed
  // there (finished), with the same errors for the files and the archive.
  void write(const PackedFiles& packed);

 private:
  std::wstring path_;
  std::string shownPath_;
  std::wstring spoolFolder_;
  std::unique_ptr<zip_t, decltype(&zip_discard)> archive_;
};
