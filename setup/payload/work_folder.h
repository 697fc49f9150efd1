#pragma once
// The per-run working folder in the user's temporary folder.
#include <functional>
#include <string>

// Makes a fresh folder "kel<hex>.tmp" in `parent` (empty: the user's temporary folder). The
// platform's unique name is taken and its placeholder file deleted; the folder is then created
// exclusively, so a folder or link that someone planted under that name in the meantime is
// never reused: a new name is taken instead. Returns the folder's path, or empty when no
// folder could be made (after a bounded number of names).
// `nameTaken`, for tests, runs between the placeholder's removal and the folder's creation.
[[nodiscard]] std::wstring createWorkFolder(const std::wstring& parent = {},
                                            const std::function<void(const std::wstring&)>& nameTaken = {});

// Removes a folder with everything in it, however deep. Links (junctions, symbolic links)
// inside the tree are removed themselves, never followed, and read-only files are made writable
// first. Returns true when the folder is gone. A file in use is tried again for about two seconds (a program
// that has just ended can hold its file that long); one still in use after that stays behind
// with its folder. Never throws.
bool removeFolderTree(const std::wstring& path) noexcept;
