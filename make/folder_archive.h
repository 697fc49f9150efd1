#pragma once
// The ZIP archive of a distribution folder: one entry per file below the folder, in walk order,
// named by its path below the folder with "\" between components. While the walk lists the
// folders, threads pack the files (each file open only while it is packed) and one more writes
// the finished entries in walk order; the archive is the same for any number of packing threads.
#include <string>

#include "handles.h"
#include "file_io.h"

class FolderArchive {
 public:
  // Creates the archive file at `path` (a full path; `shownPath` names it in messages), to be
  // written by write(); `spoolFolder` receives the temporary files of the packing. Raises
  // std::runtime_error "Can't create zip: <shownPath>". The file is removed again unless write()
  // completes.
  FolderArchive(const std::wstring& path, const std::wstring& shownPath, std::wstring spoolFolder);

  // Archives every file below `folder` (an extended-length path; `shown` names it in messages)
  // with `workers` packing threads (0: one per processor) and closes the archive file; an empty
  // folder gives an archive without entries. Raises std::runtime_error with the first failure in
  // walk order: the walk's errors (see walkFolder) and the packing's (see FilePacker::pack); and
  // "Can't create zip: <shownPath>" when the archive cannot be written. After a failure no
  // archive and no temporary file is left.
  void write(const std::wstring& folder, const std::wstring& shown, unsigned workers);

 private:
  std::wstring shownPath_;
  std::wstring spoolFolder_;
  FileRemoval removal_;
  UniqueFile file_;
};
