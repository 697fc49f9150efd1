#pragma once
// Extracts every entry of a ZIP archive into a folder, in the order of the archive's entry
// indexes, reporting progress after every chunk through a callback that can stop the work.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

// Every message reads "error occured, during archive unpackaging: " followed by the detail.
class ZipUnpackagerException : public std::exception {
 public:
  explicit ZipUnpackagerException(const std::string& detail);
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Takes the percentage of bytes written so far against the archive's size (it passes 100 for
// any archive that compresses) and returns true to stop.
using ProgressCallback = std::function<bool(std::int32_t)>;

class ZipUnpackager {
 public:
  // `archiveName` is the archive's short file name, used in error texts.
  explicit ZipUnpackager(const std::wstring& archiveName);

  // Unpacks `archivePath` into `destination` (both 8-bit text in the ANSI code page). Returns
  // true when every entry was processed, false when the callback asked to stop (the file being
  // written stays, partly written). Raises ZipUnpackagerException; std::filesystem_error when
  // the archive's size cannot be read; std::invalid_argument for an empty callback. Entry names
  // that would reach outside the destination (absolute, drive or UNC names, "..", ":" streams,
  // device names) are refused before anything is created. A read error inside the archive ends
  // the process with exit code 102.
  bool unpack(const std::string& archivePath, const std::string& destination, ProgressCallback callback) const;

  // The names the unpacker refuses. `name` is the entry name as UTF-8.
  [[nodiscard]] static bool isSafeEntryName(const std::string& name);

 private:
  std::string archiveName_;
};
