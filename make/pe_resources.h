#pragma once
// The resources of a PE program file, read and written without the platform's resource calls:
// the builder's way of adding its payload resources and version strings where no Windows is at
// hand. The resource section is rebuilt whole; when it outgrows its room, the sections after it
// (the base relocations, which nothing addresses) move on. Portable C++: no Windows headers.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A resource type or name: a number, or a name (UTF-16) when `name` is not empty.
struct ResourceKey {
  std::uint16_t id = 0;
  std::u16string name;

  // Named entries come before numbered ones, each kind in ascending order, as the format asks.
  bool operator<(const ResourceKey& other) const {
    if (name.empty() != other.name.empty()) return !name.empty();
    return name.empty() ? id < other.id : name < other.name;
  }
  bool operator==(const ResourceKey& other) const { return id == other.id && name == other.name; }
};

class PeResources {
 public:
  using Bytes = std::vector<std::uint8_t>;
  using Languages = std::map<std::uint16_t, Bytes>;
  using Names = std::map<ResourceKey, Languages>;
  using Tree = std::map<ResourceKey, Names>;

  // Reads the resources of `image`. False, with `error` saying why, for a file that is no PE
  // image, whose resource directory is damaged or does not begin its section.
  bool read(const Bytes& image, std::string& error);

  // Adds a resource, or replaces the data of the one with the same type, name and language.
  void set(const ResourceKey& type, const ResourceKey& name, std::uint16_t language, Bytes data);
  // The data of a resource; null when there is none.
  [[nodiscard]] const Bytes* find(const ResourceKey& type, const ResourceKey& name, std::uint16_t language) const;
  [[nodiscard]] const Tree& tree() const { return tree_; }

  // `image` (the one read) with its resource section rebuilt from tree(): the same bytes
  // elsewhere, but for the sections after it when it grows (moved on, with the headers that name
  // them) and the header's checksum (recomputed when it was set). False, with `error`, when a
  // section that grown resources would have to move is one that code may address, or when the
  // image carries a signature (which the change would break anyway).
  bool write(Bytes& image, std::string& error) const;

 private:
  Tree tree_;
};
