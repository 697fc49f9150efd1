#pragma once
// Which entries one thread must write together: those that land on the same path, however their
// names spell it, are written by one thread in archive order, so that the last one wins as it
// would with one thread alone. The plan keeps one bit per entry and one link per entry that
// shares its path with an earlier one; the paths themselves are not kept.
#include <cstdint>
#include <utility>
#include <vector>

#include "payload/archive_reader.h"

class UnpackPlan {
 public:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};

  // Reads the description of every entry of `reader`'s archive. Raises ZipUnpackagerException
  // "unsafe entry name: <name>" for the first name that ZipUnpackager refuses, before anything
  // is created. An entry with an empty name is passed over, and so is one whose description
  // cannot be read, after a diagnostic line on standard output.
  explicit UnpackPlan(ArchiveReader& reader);

  [[nodiscard]] std::uint32_t entryCount() const { return static_cast<std::uint32_t>(passedOver_.size()); }
  // True for an entry that is written after an earlier one of the same path (as its follower),
  // or not at all.
  [[nodiscard]] bool passedOver(std::uint32_t index) const { return passedOver_[index]; }
  // The next entry after `index` that lands on the same path, or kNone.
  [[nodiscard]] std::uint32_t follower(std::uint32_t index) const;
  // True when no two entries land on the same path.
  [[nodiscard]] bool allPathsDistinct() const { return followers_.empty(); }
  // True when one entry's file lands where another entry needs a folder: only one thread then
  // meets them in archive order every time.
  [[nodiscard]] bool fileIsAlsoFolder() const { return fileIsAlsoFolder_; }

 private:
  bool fileIsAlsoFolder_ = false;
  std::vector<bool> passedOver_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> followers_;  // entry, its follower; sorted
};
