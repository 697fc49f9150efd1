#pragma once
// The installation step's own search: the setup file a setup-file build names, below the
// working folder (Installer::runInstallation, in installation.cpp, runs it or the distribution).
#include <string>

// Looks for `name` (a file or folder) in `folder` and then, depth first in pre-order, in its
// subfolders as the platform lists them (links to folders followed). On success `folder` names
// the folder that holds it. Folders of any depth are searched. Raises Failure
// ("filesystem error: ...") when a folder cannot be examined or listed.
[[nodiscard]] bool findSetupFile(const std::wstring& name, std::wstring& folder);
