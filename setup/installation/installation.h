#pragma once
// The installation's two modes: the setup file a setup-file build names, found below the working
// folder (installation.cpp), and the install of a distribution that the search accepted
// (run_distribution.cpp). Installer::runInstallation and runDistribution run them in order.
#include <cstdint>
#include <string>

#include "installation/distribution.h"
#include "installation/run_control.h"

// Looks for `name` (a file or folder) in `folder` and then, depth first in pre-order, in its
// subfolders as the platform lists them (links to folders followed). On success `folder` names
// the folder that holds it. Folders of any depth are searched. Raises Failure
// ("filesystem error: ...") when a folder cannot be examined or listed.
[[nodiscard]] bool findSetupFile(const std::wstring& name, std::wstring& folder);

// The distribution's launcher settings, "Tarnel.cfg": beside the package, or else at the top of
// the unpacked tree (`unpackRoot`), where older distributions keep them. Empty when neither
// place has them.
[[nodiscard]] std::wstring findLauncherConfig(const Distribution& distribution, const std::wstring& unpackRoot);

// Installs `distribution` with the user's interface language and its transform (when the
// distribution's folder, the current one, has it): through its own setup.exe when there is one,
// else through the installer service, whose own windows get no owner (and which shows none in
// a quiet run; with the run's log on it logs verbosely beside it). Returns the installer's code:
// 0 for success (3010, restart required, is none), ERROR_INSTALL_SERVICE_FAILURE when the
// installer service cannot be loaded. Raises runProgram's error.
[[nodiscard]] std::uint32_t installDistribution(const Distribution& distribution, const RunControl& run);
