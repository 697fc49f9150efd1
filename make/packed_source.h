#pragma once
// Packed entries handed to the archive library as data sources. A deflated entry's source
// reports its method, sizes and CRC, so the library copies the stream from the spool as it is; a
// stored entry's source gives the file's own bytes, read again from the walked file and checked
// against the walked size.
#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "folder_walk.h"
#include "packed_files.h"

class PackedSources {
 public:
  // `packed` (finished) must outlive every source made here.
  explicit PackedSources(const PackedFiles& packed);

  // A source for entry `index` (to be added with its method: stored entries need ZIP_CM_STORE
  // set, or the library would deflate them); null when it cannot be made. The library frees it.
  // Its reads go through one buffer shared by all sources made here: the library reads one
  // entry at a time while it writes the archive.
  [[nodiscard]] zip_source_t* source(zip_t* archive, std::size_t index);

  // The first entry whose data could not be read while the archive was written (a stored file
  // that is no longer readable or no longer has its walked size), or null.
  [[nodiscard]] const WalkedFile* failed() const { return failed_ < packed_.size() ? &packed_.file(failed_) : nullptr; }

 private:
  struct Reader;
  static zip_int64_t call(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command);
  zip_int64_t read(Reader& reader, void* data, zip_uint64_t length);
  [[nodiscard]] bool fill(Reader& reader);

  const PackedFiles& packed_;
  std::unique_ptr<char[]> buffer_;
  // Which entry's bytes the buffer holds: the entry, where they start in it, and how many.
  std::size_t bufferEntry_;
  std::uint64_t bufferStart_ = 0;
  std::uint64_t bufferLength_ = 0;
  std::size_t failed_;
};
