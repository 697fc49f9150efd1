#pragma once
// The walk over a distribution folder: every file below it, depth first in listing order. It only
// lists folders; files are opened later, one at a time, when they are packed.
#include <deque>
#include <functional>
#include <string>

#include "file_packer.h"

// The folders of a walk. Elements stay where they are while it grows, so the files handed on may
// point to their folder from other threads.
using WalkedFolders = std::deque<WalkedFolder>;

// Hands every file below `folder` (an extended-length path, so that trees of any depth are
// reached) to `onFile` as it is found, depth first in listing order; `shown` is the folder as
// messages name it. Folders go to `folders`, which must outlive the files handed on, and are not
// handed on themselves. Links are followed; anything that is not a folder (a file, a dangling
// link, a pipe) counts as a file. Raises what `onFile` raises, std::runtime_error "Link cycle in
// the input folder: <shown>" for a link that leads back into a folder the walk is inside, and a
// file-system error naming the listing operation for a folder that cannot be listed.
void walkFolder(const std::wstring& folder, const std::wstring& shown, WalkedFolders& folders,
                const std::function<void(WalkedFile&&)>& onFile);
