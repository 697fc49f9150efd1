#pragma once
// Paths of any length. The platform takes paths longer than MAX_PATH only in the extended form
// ("\\?\C:\..." or "\\?\UNC\server\share\..."), which it passes on without normalising: no "/"
// turned into "\", no "." or ".." resolved, no trailing dots or spaces removed.
#include <string>

// The extended form of `path`, made absolute first (relative paths against the current folder).
// A path already in the extended or device form ("\\?\", "\\.\") is returned unchanged, and so
// is one that cannot be resolved.
[[nodiscard]] std::wstring extendedPath(const std::wstring& path);
