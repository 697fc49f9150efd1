#pragma once
// Paths as both programs hand them to the system: full, so that no call looks a relative name up
// along the DLL search path, and in the extended-length form where a tree may run past the
// classic 260-character limit. The system passes extended paths on without normalising them: no
// "/" turned into "\", no "." or ".." resolved, no trailing dots or spaces removed.
#include <cstdint>
#include <string>
#include <vector>

// The full path of `path`, resolved against the current folder as the system does; `path`
// unchanged when the system cannot resolve it.
[[nodiscard]] std::wstring fullPath(const std::wstring& path);

// The full path with the extended-length prefix ("\\?\C:\..." or "\\?\UNC\server\share\..."),
// which lifts the length limit; without a trailing separator except for a drive root.
[[nodiscard]] std::wstring extendedPath(const std::wstring& path);

// `folder` and `name` joined with one backslash.
[[nodiscard]] std::wstring joinPath(const std::wstring& folder, const std::wstring& name);

// A 64-bit hash (FNV-1a) of a path in the system's upper case, so that the spellings of one path
// that differ only in letter case hash alike.
[[nodiscard]] std::uint64_t pathHash(std::wstring path);

// pathHash of `path`, adding to `folderHashes` the hash of each folder above it: of every prefix
// that ends before a backslash, the empty one at the start excepted.
[[nodiscard]] std::uint64_t pathHash(std::wstring path, std::vector<std::uint64_t>& folderHashes);
