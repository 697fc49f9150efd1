#pragma once
// The per-run working folders in the user's temporary folder, and what earlier runs left there.
#include <atomic>
#include <functional>
#include <string>

#include "handles.h"

// The name a working folder's mark has beside the folder: "<folder>" + this.
constexpr const wchar_t* kWorkFolderMarkSuffix = L".pondrel";

// The user's temporary folder, ending with a backslash; empty when the system names none.
[[nodiscard]] std::wstring userTempFolder();

// A fresh folder "kel<hex>.tmp" in a parent folder, for this run only. The platform's unique
// name is taken and its placeholder file deleted; the folder is then created exclusively, so a
// folder or link that someone planted under that name in the meantime is never reused: a new
// name is taken instead. The folder is made with an access list of its own, not inherited from
// the parent (a temporary folder that all users share lets them all write): full access for
// this process's user, SYSTEM and the Administrators group, and nobody else, inherited by
// everything made inside. Beside it, "<folder>.pondrel" marks it as a working folder of a run
// that is going on: it names the folder's file identity, and the run holds it, and the folder,
// open without delete sharing until remove(), so that no one renames or deletes them and no
// other run takes the folder for a leftover.
class WorkFolder {
 public:
  WorkFolder() = default;
  // Makes the folder in `parent` (empty: the user's temporary folder); path() is empty when no
  // folder could be made (after a bounded number of names). `nameTaken`, for tests, runs
  // between the placeholder's removal and the folder's creation.
  explicit WorkFolder(const std::wstring& parent, const std::function<void(const std::wstring&)>& nameTaken = {});
  ~WorkFolder() { remove(); }
  WorkFolder(WorkFolder&&) = default;
  WorkFolder& operator=(WorkFolder&&) = default;

  [[nodiscard]] const std::wstring& path() const { return path_; }
  // Lets go of the folder and its mark and removes both, the folder with everything in it (see
  // removeFolderTree). True when the folder is gone. Never throws.
  bool remove() noexcept;

 private:
  std::wstring path_;
  UniqueHandle folder_;
  UniqueFile mark_;
};

// Removes the working folders that runs of any setup program left in `parent` (empty: the user's
// temporary folder) when they were killed: a folder counts only with its mark beside it, a
// regular file that names this very folder's identity, and only when no running run holds the
// mark. A link, a folder whose mark names another, and anything without a mark are left alone.
// Each folder goes with removeFolderTree, then its mark; what cannot be removed stays for a later
// run. Stops between two folders once `stop` is set. Never throws.
void removeLeftoverWorkFolders(const std::wstring& parent, const std::atomic<bool>& stop) noexcept;

// Removes a folder with everything in it, however deep. Links (junctions, symbolic links)
// inside the tree are removed themselves, never followed, and read-only files are made writable
// first. Returns true when the folder is gone. A file in use is tried again for about two seconds (a program
// that has just ended can hold its file that long); one still in use after that stays behind
// with its folder. Never throws.
bool removeFolderTree(const std::wstring& path) noexcept;
