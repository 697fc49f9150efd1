#pragma once
// Unpacking with progress: the archive is copied out of the program and unpacked on a background
// task, while this thread forwards the percentage.
#include <atomic>
#include <cstdint>
#include <string>

#include "payload/zip_unpackager.h"
#include "threads.h"

// Where the percentage goes (the progress window's line, which window/ provides).
class ProgressSink {
 public:
  virtual void progress(std::int32_t percent) = 0;

 protected:
  ~ProgressSink() = default;
};

struct PayloadUnpacking {
  std::wstring archivePath;  // where the archive copy goes; empty when its folder could not be made
  std::uint32_t archiveOffset = 0;
  std::wstring destination;  // the working folder; empty when it could not be made
  FileWrittenCallback written;  // hears of each file as soon as it is complete; may be empty
};

// Copies the archive out of the running program to `archivePath` and unpacks it into
// `destination` with `unpacker` on `task`, which starts once the archive's directory is copied
// and unpacks while the rest is copied, sending the percentage (at most 100) to `sink`, when
// given, once per 300 ms until the task ends. True when the whole archive was unpacked, false
// when `cancel` ended the copy or the unpacking. Raises Failure "can't create temporary zip
// file" when either folder is missing or the copy cannot be created, and the unpacker's errors.
[[nodiscard]] bool unpackPayloadArchive(const PayloadUnpacking& job, ZipUnpackager& unpacker, BackgroundTask& task,
                                        const std::atomic<bool>& cancel, ProgressSink* sink);
