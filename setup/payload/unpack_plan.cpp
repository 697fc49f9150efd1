#include "payload/unpack_plan.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "paths.h"
#include "payload/entry_names.h"
#include "payload/zip_unpackager.h"
#include "text.h"

namespace {

// A 64-bit hash (FNV-1a) of where an entry lands: its path below the destination in the file
// system's letter case, adding those of the folders above it to `folders`. Entries whose hashes
// differ land on different paths; the rare pair whose hashes agree by chance is only written
// by one thread, in archive order, which is still right.
std::uint64_t targetHash(const std::string& name, std::vector<std::uint64_t>& folders) {
  return pathHash(entryRelativePath(name), folders);
}

}  // namespace

UnpackPlan::UnpackPlan(ArchiveReader& reader) {
  const std::uint64_t count = reader.entryCount();
  if (count >= kNone) throw ZipUnpackagerException("too many entries in zip");
  passedOver_.assign(static_cast<size_t>(count), false);
  // Where each file entry lands, by index; where folders are needed (above any entry, or made by
  // a folder entry), marked kNone. A file whose path is also a folder ("a" and "a/b") gives one
  // thread an error or a passed-over entry in archive order; two threads could meet them in
  // either order.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> targets;
  targets.reserve(static_cast<size_t>(count));
  std::vector<std::uint64_t> folders;
  std::uint64_t lastFolder = 0;
  EntryInfo info;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!reader.describe(i, info)) {
      std::fputs("File[ZipUnpackager] Line[114]/n", stdout);
      std::fflush(stdout);
      passedOver_[i] = true;
      continue;
    }
    // A name that names nothing is passed over.
    if (info.name.empty()) {
      passedOver_[i] = true;
      continue;
    }
    if (!isSafeEntryName(info.name)) {
      throw ZipUnpackagerException("unsafe entry name: " + toNarrow(fromUtf8(info.name)));
    }
    folders.clear();
    const std::uint64_t target = targetHash(info.name, folders);
    // Entries of one folder mostly stand together: the folders above them are marked once.
    if (!folders.empty() && folders.back() != lastFolder) {
      lastFolder = folders.back();
      for (const std::uint64_t folder : folders) targets.emplace_back(folder, kNone);
    }
    targets.emplace_back(target, isNameSeparator(info.name.back()) ? kNone : i);
  }
  // Sorted by path and then by index, entries of one path stand together in archive order, and
  // the folder marks after them.
  std::sort(targets.begin(), targets.end());
  for (size_t t = 1; t < targets.size(); ++t) {
    if (targets[t].first != targets[t - 1].first || targets[t - 1].second == kNone) continue;
    if (targets[t].second == kNone) {
      fileIsAlsoFolder_ = true;
      continue;
    }
    followers_.emplace_back(targets[t - 1].second, targets[t].second);
    passedOver_[targets[t].second] = true;
  }
  std::sort(followers_.begin(), followers_.end());
}

std::uint32_t UnpackPlan::follower(std::uint32_t index) const {
  const auto found = std::lower_bound(followers_.begin(), followers_.end(), std::make_pair(index, std::uint32_t{0}));
  return found != followers_.end() && found->first == index ? found->second : kNone;
}
