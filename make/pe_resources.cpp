#include "pe_resources.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t kSubdirectory = 0x80000000u;
constexpr size_t kDirectorySize = 16, kEntrySize = 8, kDataEntrySize = 16, kSectionHeaderSize = 40;
constexpr int kResourceDirectory = 2, kSecurityDirectory = 4, kRelocationDirectory = 5;
// Deeper trees, or loops, are no resources of a program.
constexpr int kLevels = 3;

using Bytes = PeResources::Bytes;

std::uint16_t u16(const Bytes& b, size_t at) { return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8); }
std::uint32_t u32(const Bytes& b, size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
void put16(Bytes& b, size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(Bytes& b, size_t at, std::uint32_t v) {
  put16(b, at, v);
  put16(b, at + 2, v >> 16);
}
std::uint32_t alignUp(std::uint32_t value, std::uint32_t alignment) {
  return alignment ? (value + alignment - 1) / alignment * alignment : value;
}

struct Section {
  size_t header;  // where its header lies in the image
  std::uint32_t virtualSize, address, rawSize, rawOffset;
};

// The headers of an image as far as resources concern them.
struct Layout {
  size_t optional = 0, directories = 0;
  std::uint32_t directoryCount = 0, sectionAlignment = 0, fileAlignment = 0;
  std::vector<Section> sections;
  int resources = -1;  // the section the resource directory begins

  bool parse(const Bytes& image, std::string& error) {
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return fail(error, "not a program file");
    const std::uint32_t pe = u32(image, 0x3C);
    if (pe > image.size() - 24 || std::memcmp(&image[pe], "PE\0\0", 4) != 0) return fail(error, "not a PE image");
    const std::uint16_t sectionCount = u16(image, pe + 6), optionalSize = u16(image, pe + 20);
    optional = pe + 24;
    if (optional + optionalSize + size_t{sectionCount} * kSectionHeaderSize > image.size() || optionalSize < 96) {
      return fail(error, "damaged headers");
    }
    const std::uint16_t magic = u16(image, optional);
    if (magic != 0x10B && magic != 0x20B) return fail(error, "unknown optional header");
    directories = optional + (magic == 0x10B ? 96 : 112);
    directoryCount = std::min<std::uint32_t>(u32(image, directories - 4), (optionalSize - (directories - optional)) / 8);
    sectionAlignment = u32(image, optional + 32);
    fileAlignment = u32(image, optional + 36);
    if (directoryCount <= kRelocationDirectory) return fail(error, "too few data directories");
    for (size_t i = 0; i < sectionCount; ++i) {
      const size_t at = optional + optionalSize + i * kSectionHeaderSize;
      sections.push_back({at, u32(image, at + 8), u32(image, at + 12), u32(image, at + 16), u32(image, at + 20)});
      if (size_t{sections.back().rawOffset} + sections.back().rawSize > image.size()) return fail(error, "damaged sections");
    }
    const std::uint32_t start = directoryAddress(image, kResourceDirectory);
    for (size_t i = 0; i < sections.size(); ++i) {
      if (start != 0 && sections[i].address == start) resources = static_cast<int>(i);
    }
    if (resources < 0) return fail(error, "the resources do not begin a section of their own");
    return true;
  }

  [[nodiscard]] std::uint32_t directoryAddress(const Bytes& image, int index) const {
    return u32(image, directories + 8 * static_cast<size_t>(index));
  }

  // The file offset of `size` bytes at `address`; 0 when no section's data holds them.
  [[nodiscard]] size_t offsetOf(std::uint32_t address, std::uint32_t size) const {
    for (const Section& s : sections) {
      if (address >= s.address && std::uint64_t{address} + size <= std::uint64_t{s.address} + s.rawSize) {
        return s.rawOffset + (address - s.address);
      }
    }
    return 0;
  }

  static bool fail(std::string& error, const char* why) {
    error = why;
    return false;
  }
};

// Reads a directory's entries below `base` (the section's start) into the tree, level by level.
class TreeReader {
 public:
  TreeReader(const Bytes& image, const Layout& layout, PeResources& resources)
      : image_(image), layout_(layout), resources_(resources) {
    const Section& s = layout.sections[static_cast<size_t>(layout.resources)];
    base_ = s.rawOffset;
    end_ = s.rawOffset + std::min(s.rawSize, std::max(s.virtualSize, s.rawSize));
  }

  bool read(std::string& error) {
    keys_.clear();
    if (!directory(0, 0)) {
      error = "damaged resource directory";
      return false;
    }
    return true;
  }

 private:
  bool directory(std::uint32_t offset, int level) {
    if (level >= kLevels || base_ + offset + kDirectorySize > end_) return false;
    const size_t at = base_ + offset;
    const size_t count = size_t{u16(image_, at + 12)} + u16(image_, at + 14);
    if (at + kDirectorySize + count * kEntrySize > end_) return false;
    for (size_t i = 0; i < count; ++i) {
      const size_t entry = at + kDirectorySize + i * kEntrySize;
      ResourceKey key;
      if (!this->key(u32(image_, entry), key)) return false;
      keys_.push_back(key);
      const std::uint32_t target = u32(image_, entry + 4);
      const bool ok = (target & kSubdirectory) ? directory(target & ~kSubdirectory, level + 1)
                                               : level == kLevels - 1 && data(target);
      keys_.pop_back();
      if (!ok) return false;
    }
    return true;
  }

  bool key(std::uint32_t value, ResourceKey& key) const {
    if (!(value & kSubdirectory)) {
      key.id = static_cast<std::uint16_t>(value);
      return true;
    }
    const size_t at = base_ + (value & ~kSubdirectory);
    if (at + 2 > end_) return false;
    const size_t length = u16(image_, at);
    if (length == 0 || at + 2 + 2 * length > end_) return false;
    for (size_t i = 0; i < length; ++i) key.name += static_cast<char16_t>(u16(image_, at + 2 + 2 * i));
    return true;
  }

  bool data(std::uint32_t offset) {
    const size_t at = base_ + offset;
    if (at + kDataEntrySize > end_) return false;
    const std::uint32_t address = u32(image_, at), size = u32(image_, at + 4);
    const size_t from = size ? layout_.offsetOf(address, size) : 0;
    if (size && from == 0) return false;
    resources_.set(keys_[0], keys_[1], keys_[2].id,
                   Bytes(image_.begin() + static_cast<std::ptrdiff_t>(from),
                         image_.begin() + static_cast<std::ptrdiff_t>(from + size)));
    return true;
  }

  const Bytes& image_;
  const Layout& layout_;
  PeResources& resources_;
  size_t base_ = 0, end_ = 0;
  std::vector<ResourceKey> keys_;
};

// The section's new bytes for a tree, with its data entries' addresses from `address`.
Bytes buildSection(const PeResources::Tree& tree, std::uint32_t address) {
  size_t directories = kDirectorySize + tree.size() * kEntrySize, leaves = 0, strings = 0;
  const auto nameSize = [](const ResourceKey& key) { return key.name.empty() ? 0 : 2 + 2 * key.name.size(); };
  for (const auto& [type, names] : tree) {
    directories += kDirectorySize + names.size() * kEntrySize;
    strings += nameSize(type);
    for (const auto& [name, languages] : names) {
      directories += kDirectorySize + languages.size() * kEntrySize;
      leaves += languages.size();
      strings += nameSize(name);
    }
  }
  const size_t dataEntries = directories, stringStart = dataEntries + leaves * kDataEntrySize;
  size_t dataAt = alignUp(static_cast<std::uint32_t>(stringStart + strings), 8);
  size_t total = dataAt;
  for (const auto& [type, names] : tree) {
    for (const auto& [name, languages] : names) {
      for (const auto& [language, data] : languages) total = alignUp(static_cast<std::uint32_t>(total + data.size()), 8);
    }
  }

  Bytes section(total, 0);
  size_t nextDirectory = 0, nextLeaf = dataEntries, nextString = stringStart;
  const auto directory = [&](size_t named, size_t numbered) {
    const size_t at = nextDirectory;
    put16(section, at + 12, static_cast<std::uint32_t>(named));
    put16(section, at + 14, static_cast<std::uint32_t>(numbered));
    nextDirectory += kDirectorySize + (named + numbered) * kEntrySize;
    return at + kDirectorySize;
  };
  const auto keyValue = [&](const ResourceKey& key) -> std::uint32_t {
    if (key.name.empty()) return key.id;
    const size_t at = nextString;
    put16(section, at, static_cast<std::uint32_t>(key.name.size()));
    for (size_t i = 0; i < key.name.size(); ++i) put16(section, at + 2 + 2 * i, key.name[i]);
    nextString += nameSize(key);
    return kSubdirectory | static_cast<std::uint32_t>(at);
  };
  const auto counts = [](const auto& map) {
    size_t named = 0;
    for (const auto& item : map) named += item.first.name.empty() ? 0 : 1;
    return std::pair{named, map.size() - named};
  };

  // Breadth first: the root, every type's directory, every name's directory, then the leaves.
  const auto [namedTypes, numberedTypes] = counts(tree);
  size_t typeEntry = directory(namedTypes, numberedTypes);
  std::vector<std::pair<size_t, const PeResources::Names*>> typeDirectories;
  for (const auto& [type, names] : tree) {
    put32(section, typeEntry, keyValue(type));
    const auto [named, numbered] = counts(names);
    const size_t entries = directory(named, numbered);
    put32(section, typeEntry + 4, kSubdirectory | static_cast<std::uint32_t>(entries - kDirectorySize));
    typeDirectories.emplace_back(entries, &names);
    typeEntry += kEntrySize;
  }
  std::vector<std::pair<size_t, const PeResources::Languages*>> nameDirectories;
  for (auto [nameEntry, names] : typeDirectories) {
    for (const auto& [name, languages] : *names) {
      put32(section, nameEntry, keyValue(name));
      const size_t entries = directory(0, languages.size());
      put32(section, nameEntry + 4, kSubdirectory | static_cast<std::uint32_t>(entries - kDirectorySize));
      nameDirectories.emplace_back(entries, &languages);
      nameEntry += kEntrySize;
    }
  }
  for (auto [languageEntry, languages] : nameDirectories) {
    for (const auto& [language, data] : *languages) {
      put32(section, languageEntry, language);
      put32(section, languageEntry + 4, static_cast<std::uint32_t>(nextLeaf));
      put32(section, nextLeaf, address + static_cast<std::uint32_t>(dataAt));
      put32(section, nextLeaf + 4, static_cast<std::uint32_t>(data.size()));
      std::copy(data.begin(), data.end(), section.begin() + static_cast<std::ptrdiff_t>(dataAt));
      dataAt = alignUp(static_cast<std::uint32_t>(dataAt + data.size()), 8);
      nextLeaf += kDataEntrySize;
      languageEntry += kEntrySize;
    }
  }
  return section;
}

// The checksum the header carries: 16-bit sums with carries over the file, its own field left
// out, plus the file's length.
std::uint32_t imageChecksum(const Bytes& image, size_t field) {
  std::uint64_t sum = 0;
  for (size_t at = 0; at < image.size(); at += 2) {
    if (at == field || at == field + 2) continue;
    sum += image[at] | (at + 1 < image.size() ? image[at + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + image.size());
}

}  // namespace

bool PeResources::read(const Bytes& image, std::string& error) {
  tree_.clear();
  Layout layout;
  return layout.parse(image, error) && TreeReader(image, layout, *this).read(error);
}

void PeResources::set(const ResourceKey& type, const ResourceKey& name, std::uint16_t language, Bytes data) {
  tree_[type][name][language] = std::move(data);
}

const PeResources::Bytes* PeResources::find(const ResourceKey& type, const ResourceKey& name,
                                            std::uint16_t language) const {
  const auto names = tree_.find(type);
  if (names == tree_.end()) return nullptr;
  const auto languages = names->second.find(name);
  if (languages == names->second.end()) return nullptr;
  const auto data = languages->second.find(language);
  return data == languages->second.end() ? nullptr : &data->second;
}

bool PeResources::write(Bytes& image, std::string& error) const {
  Layout layout;
  if (!layout.parse(image, error)) return false;
  if (layout.directoryAddress(image, kSecurityDirectory) != 0) {
    error = "the program is signed";
    return false;
  }
  Section& resources = layout.sections[static_cast<size_t>(layout.resources)];
  const Bytes section = buildSection(tree_, resources.address);
  const auto size = static_cast<std::uint32_t>(section.size());
  const std::uint32_t rawSize = std::max(alignUp(size, layout.fileAlignment), resources.rawSize);

  // The sections after it, in the image and in the file, move on by whole alignments.
  std::uint32_t addressShift = 0;
  for (const Section& s : layout.sections) {
    if (s.address > resources.address && s.address < resources.address + alignUp(size, layout.sectionAlignment)) {
      addressShift = std::max(addressShift, alignUp(resources.address + size, layout.sectionAlignment) - s.address);
    }
  }
  const std::uint32_t fileShift = rawSize - resources.rawSize;
  const std::uint32_t relocations = layout.directoryAddress(image, kRelocationDirectory);
  for (const Section& s : layout.sections) {
    const bool moves = s.address > resources.address && addressShift != 0;
    const bool holdsRelocations = relocations >= s.address && relocations < s.address + std::max(s.virtualSize, s.rawSize);
    if (moves && !holdsRelocations) {
      error = "a section that code may address follows the resources";
      return false;
    }
  }

  const size_t resourceEnd = size_t{resources.rawOffset} + resources.rawSize;
  Bytes result(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(resources.rawOffset));
  result.insert(result.end(), section.begin(), section.end());
  result.resize(size_t{resources.rawOffset} + rawSize, 0);
  result.insert(result.end(), image.begin() + static_cast<std::ptrdiff_t>(resourceEnd), image.end());

  std::uint32_t imageSize = 0;
  for (Section& s : layout.sections) {
    if (&s == &resources) {
      s.virtualSize = size;
      s.rawSize = rawSize;
    } else {
      if (s.address > resources.address) s.address += addressShift;
      if (s.rawOffset >= resourceEnd && s.rawSize != 0) s.rawOffset += fileShift;
    }
    put32(result, s.header + 8, s.virtualSize);
    put32(result, s.header + 12, s.address);
    put32(result, s.header + 16, s.rawSize);
    put32(result, s.header + 20, s.rawOffset);
    imageSize = std::max(imageSize, s.address + alignUp(std::max(s.virtualSize, 1u), layout.sectionAlignment));
  }
  put32(result, layout.directories + 8 * kResourceDirectory + 4, size);
  if (relocations > resources.address) put32(result, layout.directories + 8 * kRelocationDirectory, relocations + addressShift);
  put32(result, layout.optional + 56, imageSize);
  put32(result, layout.optional + 8, u32(image, layout.optional + 8) + fileShift);
  const size_t checksum = layout.optional + 64;
  if (u32(image, checksum) != 0) put32(result, checksum, imageChecksum(result, checksum));
  image = std::move(result);
  return true;
}
