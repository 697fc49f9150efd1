#pragma once
// The packing of one file for the archive, on one compressing thread: the file is opened, read
// once from start to end and closed again, and what the archive will hold (the deflate stream,
// or the file's own bytes where deflate does not shrink them) is kept in memory when small and
// otherwise appended to the thread's spool file, a temporary file of its own. Files up to 8 MiB
// are deflated whole with libdeflate, larger ones as a stream with zlib.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "file_system.h"
#include "handles.h"
#include "zip_writer.h"

struct libdeflate_compressor;

// A folder the walk went through: how the packer reaches it (its path, ending in a separator, so
// that a file's name follows it directly), how messages name it, and the entry-name prefix of its
// files (UTF-8, ending in "\", empty for the walked folder itself).
struct WalkedFolder {
  std::wstring path;
  std::wstring shown;
  std::string entryPrefix;
};

// A file the walk found: its folder (which outlives it), its name there, and what the listing
// gave: the size (a hint: the file may change before it is packed) and the last write time (of
// a link's target, for a link).
struct WalkedFile {
  const WalkedFolder* folder = nullptr;
  std::wstring name;
  std::uint64_t listedSize = 0;
  FileTime written = 0;

  [[nodiscard]] std::wstring shown() const;
};

// An entry ready for the archive: its records, and its data in `memory` or, when that is empty
// and the data is not, at `spoolOffset` of the packer's spool.
struct PackedFile {
  ZipEntryInfo info;
  std::vector<std::uint8_t> memory;
  std::uint64_t spoolOffset = 0;
};

class FilePacker {
 public:
  // The levels the archive's entries are deflated at, whole and as a stream: archives about as
  // large as Info-ZIP's at its default level.
  static constexpr int kWholeLevel = 6;
  static constexpr int kStreamLevel = 6;

  // `spool` (in `spoolFolder`, which messages name) is open for reading and writing, and only
  // this packer appends to it. Data kept in memory is counted in `memoryInUse` (shared by the
  // packers of one archive), up to a bound; past it, data goes to the spool. Raises
  // std::bad_alloc.
  FilePacker(NativeFile spool, std::wstring spoolFolder, std::atomic<std::uint64_t>& memoryInUse);
  ~FilePacker();
  FilePacker(const FilePacker&) = delete;
  FilePacker& operator=(const FilePacker&) = delete;

  // Packs `file`: deflated, or stored when that does not make it smaller. A file larger than
  // 64 KiB whose first 16 KiB do not shrink by 1/128 is stored without deflating any more of it,
  // and so is one whose deflate stream after the first 16 MiB has not shrunk by that much.
  // Returns an empty text on success, else the one line that names the failure: "Can't add file
  // to zip: <shown>" for a file that cannot be opened or read or is no disk file, "File changed
  // while it was packed: <shown>" for one of more than one piece (8 MiB) whose size or last write
  // time changed while it was read, kArchiveTooLarge for a file of 4 GiB or more, and "Can't
  // write a temporary file in <spoolFolder>: <reason>".
  [[nodiscard]] std::string pack(const WalkedFile& file, PackedFile& packed);

 private:
  class Deflater;
  [[nodiscard]] bool readFirstPiece(NativeFile file, const WalkedFile& walked, std::uint32_t& got);
  [[nodiscard]] bool probeShrinks(std::uint32_t available);
  // Hands `count` packed bytes over: in memory, or appended to the spool.
  [[nodiscard]] bool emit(PackedFile& packed, const std::uint8_t* bytes, std::uint32_t count);
  [[nodiscard]] std::string packWhole(std::uint32_t size, PackedFile& packed);
  [[nodiscard]] std::string deflateStream(NativeFile file, const WalkedFile& walked, std::uint32_t got,
                                          PackedFile& packed);
  [[nodiscard]] std::string storeStream(NativeFile file, const WalkedFile& walked, std::uint32_t got,
                                        PackedFile& packed);
  [[nodiscard]] bool spoolAt(std::uint64_t offset, const void* bytes, std::uint32_t count);
  [[nodiscard]] std::string spoolFailure() const;

  NativeFile spool_;
  std::wstring spoolFolder_;
  std::uint64_t spoolEnd_ = 0;
  std::atomic<std::uint64_t>& memoryInUse_;
  std::wstring path_;  // the path of the file being packed, kept for its capacity
  std::unique_ptr<std::uint8_t[]> input_;
  std::unique_ptr<std::uint8_t[]> output_;
  std::unique_ptr<Deflater> deflater_;
  libdeflate_compressor* compressor_;
  DosClock clock_;
};
