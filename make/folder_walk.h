#pragma once
// The walk over a distribution folder: every file below it, depth first in listing order, each
// opened for reading the moment it is found, so that a file that cannot be opened is reported by
// the walk, with its name, and the archive is never written.
#include <windows.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "handles.h"

struct WalkedFile {
  // The archive entry name: the path below the walked folder in UTF-8, components joined with "\".
  std::string entry;
  // The file as messages name it: the folder the user gave, joined on.
  std::wstring shown;
  // Open for reading, with the sharing the archive library itself uses (others may read and
  // write), from the walk until the archive is written.
  UniqueFile file;
  // The size when it was opened; a file whose size differs later is not archived.
  std::uint64_t size = 0;
  // The last write time in seconds since 1970, as the archive records it.
  std::time_t modified = 0;
};

// Hands every file below `folder` (an extended-length path, so that trees of any depth are
// reached) to `onFile` as it is found, depth first in listing order; `shown` is the folder as
// messages name it. Folders themselves are not handed on. Links are followed. Raises what
// `onFile` raises, and std::runtime_error "Link cycle in the input folder: <shown>" for a link
// that leads back into a folder the walk is inside, "Can't add file to zip: <shown>" for a file
// that cannot be opened for reading or is no disk file (a dangling link, a pipe), and a
// file-system error naming the listing operation for a folder that cannot be listed.
void walkFolder(const std::wstring& folder, const std::wstring& shown,
                const std::function<void(WalkedFile&&)>& onFile);
