#pragma once
// Extracts every entry of a ZIP archive into a folder, in the order of the archive's entry
// indexes, reporting progress after every chunk through a callback that can stop the work.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

class ArchiveFeed;

// Every message reads "error occured, during archive unpackaging: " followed by the detail.
class ZipUnpackagerException : public std::exception {
 public:
  // `exitCode` is the process exit code the error calls for once it has been reported and the
  // working folder removed; 0 for the ordinary errors, after which the program ends normally.
  explicit ZipUnpackagerException(const std::string& detail, int exitCode = 0);
  const char* what() const noexcept override { return message_.c_str(); }
  [[nodiscard]] int exitCode() const noexcept { return exitCode_; }

 private:
  std::string message_;
  int exitCode_;
};

// The exit code of a setup program whose archive could not be read.
constexpr int kArchiveReadErrorExitCode = 102;

// Takes the percentage of bytes written so far against the archive's size (it passes 100 for
// any archive that compresses) and returns true to stop.
using ProgressCallback = std::function<bool(std::int32_t)>;

// Told the full path of each file as soon as it is written completely (no later entry of the
// archive lands on it), from the thread that wrote it.
using FileWrittenCallback = std::function<void(const std::wstring& path)>;

class ZipUnpackager {
 public:
  // `archiveName` is the archive's short file name, used in error texts.
  explicit ZipUnpackager(const std::wstring& archiveName);

  // Unpacks `archivePath` into `destination`. Paths of any length work. Returns true when every
  // entry was processed, false when the callback asked to stop (the files being written stay,
  // partly written). `threads` 0 unpacks on both cores for an archive large enough to gain from
  // it (entries that land on the same path stay on one thread, in archive order), else on one;
  // 1 and 2 choose. The callback is called by one thread at a time, after every 1000 bytes of an
  // entry written and after its last bytes.
  //
  // Raises ZipUnpackagerException; Failure ("filesystem error: cannot get file size:
  // ...") when the archive's size cannot be read, and for an empty callback.
  // Entry names that would reach outside the destination (absolute, drive or UNC names, "..",
  // ":" streams, device names) are refused before anything is created. Trailing dots and spaces
  // of a name's components are dropped, as the platform's own path rules drop them. Data that
  // cannot be read from the archive raises the error with kArchiveReadErrorExitCode: an entry
  // that cannot be opened or whose local header is none, a read that fails (after "error
  // reading file in archive/n" on the error stream), data that ends before its size or runs
  // past it. Entries with an empty name are passed over. Two entries that reach one file by
  // different names (an 8.3 alias) in a destination that started empty raise "file can't be
  // opened: <name>" with one thread and with two; a file entry whose path another entry needs
  // as a folder makes the unpacking take one thread, so that the outcome is always the same.
  // `written`, when given, hears of each file that is complete. `feed`, when given, is the
  // archive file at `archivePath` while it is still written, and the unpacker reads through it.
  bool unpack(const std::wstring& archivePath, const std::wstring& destination, ProgressCallback callback,
              unsigned threads = 0, const FileWrittenCallback& written = nullptr,
              const ArchiveFeed* feed = nullptr) const;

  // The names the unpacker refuses. `name` is the entry name as UTF-8.
  [[nodiscard]] static bool isSafeEntryName(const std::string& name);

 private:
  std::string archiveName_;
};
