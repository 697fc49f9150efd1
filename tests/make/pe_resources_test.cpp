#include "pe_resources.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "test_files.h"

namespace {

using Bytes = PeResources::Bytes;

// What the platform's own resource calls read in a file: every type, name and language with its
// data, the way a program's resource loader finds them.
struct PlatformView {
  PeResources::Tree tree;

  static ResourceKey key(const wchar_t* value) {
    ResourceKey key;
    if (IS_INTRESOURCE(value)) {
      key.id = static_cast<std::uint16_t>(reinterpret_cast<ULONG_PTR>(value));
    } else {
      for (; *value; ++value) key.name += static_cast<char16_t>(*value);
    }
    return key;
  }
  static BOOL CALLBACK language(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR self) {
    HRSRC found = FindResourceExW(module, type, name, language);
    const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(module, found)));
    reinterpret_cast<PlatformView*>(self)->tree[key(type)][key(name)][language] =
        Bytes(data, data + SizeofResource(module, found));
    return TRUE;
  }
  static BOOL CALLBACK name(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR self) {
    return EnumResourceLanguagesW(module, type, name, language, self);
  }
  static BOOL CALLBACK type(HMODULE module, LPWSTR type, LONG_PTR self) {
    return EnumResourceNamesW(module, type, name, self);
  }

  explicit PlatformView(const std::wstring& path) {
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    EXPECT_NE(module, nullptr) << GetLastError();
    if (!module) return;
    EnumResourceTypesW(module, type, reinterpret_cast<LONG_PTR>(this));
    FreeLibrary(module);
  }
};

// Every section's bytes by name, the resources' excepted, and the bytes the base relocation
// directory names, wherever its section lies.
std::pair<std::vector<std::pair<std::string, Bytes>>, Bytes> otherSections(const Bytes& image) {
  const std::uint32_t pe = *reinterpret_cast<const std::uint32_t*>(&image[0x3C]);
  const auto* header = reinterpret_cast<const IMAGE_FILE_HEADER*>(&image[pe + 4]);
  const bool wide = *reinterpret_cast<const std::uint16_t*>(&image[pe + 24]) == 0x20B;
  const auto* relocations = reinterpret_cast<const IMAGE_DATA_DIRECTORY*>(&image[pe + 24 + (wide ? 112 : 96)]) + 5;
  const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(&image[pe + 24 + header->SizeOfOptionalHeader]);
  std::pair<std::vector<std::pair<std::string, Bytes>>, Bytes> result;
  for (int i = 0; i < header->NumberOfSections; ++i) {
    const auto* start = image.data() + sections[i].PointerToRawData;
    const std::uint32_t offset = relocations->VirtualAddress - sections[i].VirtualAddress;
    if (relocations->VirtualAddress >= sections[i].VirtualAddress && offset < sections[i].SizeOfRawData) {
      result.second.assign(start + offset, start + offset + relocations->Size);
    }
    const std::string name(reinterpret_cast<const char*>(sections[i].Name), strnlen(reinterpret_cast<const char*>(sections[i].Name), 8));
    if (name != ".rsrc") result.first.emplace_back(name, Bytes(start, start + std::min(sections[i].SizeOfRawData, sections[i].Misc.VirtualSize)));
  }
  return result;
}

ResourceKey id(std::uint16_t value) { return {value, {}}; }

// Both targets' setup programs (the shipped one and the 64-bit one), with resources added,
// replaced and grown past their section's room: what the platform reads back is what was set,
// and every other section keeps its bytes (the base relocations, moved on, theirs too).
TEST(PeResources, WrittenResourcesReadBackThroughThePlatform) {
  const char* stubs = std::getenv("PONDREL_STUBS");
  ASSERT_NE(stubs, nullptr);
  std::vector<std::wstring> paths;
  for (std::string list = stubs; !list.empty();) {
    const size_t split = list.find(';');
    paths.emplace_back(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(std::min(split, list.size())));
    list = split == std::string::npos ? "" : list.substr(split + 1);
  }
  ASSERT_EQ(paths.size(), 2u);
  std::mt19937 random(7);
  Bytes large(300 * 1024);
  for (auto& byte : large) byte = static_cast<std::uint8_t>(random());
  const struct {
    const char* what;
    ResourceKey type, name;
    std::uint16_t language;
    Bytes data;
  } changes[] = {
      {"nothing changed", id(16), id(1), 1033, {}},
      {"a number added", id(10), id(201), 0, {'1', '2', '3'}},
      {"a name added", {0, u"PONDREL"}, {0, u"SETUP NAME"}, 1049, {'s', 0}},
      {"the version replaced", id(16), id(1), 1033, Bytes(5000, 0x5A)},
      {"grown past the section", id(10), id(202), 0, large},
  };
  for (const std::wstring& path : paths) {
    const Bytes original = [&] {
      const std::string bytes = readFile(path);
      return Bytes(bytes.begin(), bytes.end());
    }();
    for (const auto& change : changes) {
      SCOPED_TRACE(std::string(path.begin(), path.end()) + ": " + change.what);
      PeResources resources;
      std::string error;
      ASSERT_TRUE(resources.read(original, error)) << error;
      ASSERT_NE(resources.find(id(24), id(1), 1033), nullptr);  // the manifest
      if (!change.data.empty()) resources.set(change.type, change.name, change.language, change.data);
      Bytes image = original;
      ASSERT_TRUE(resources.write(image, error)) << error;

      TestFolder folder;
      writeFile(folder / L"written.exe", std::string(image.begin(), image.end()));
      EXPECT_EQ(PlatformView(folder / L"written.exe").tree, resources.tree());
      EXPECT_EQ(otherSections(image), otherSections(original));
      // Read again, the written file gives the same tree: it can be written once more.
      PeResources again;
      ASSERT_TRUE(again.read(image, error)) << error;
      EXPECT_EQ(again.tree(), resources.tree());
    }
  }
}

TEST(PeResources, RefusesWhatIsNoProgram) {
  PeResources resources;
  std::string error;
  for (const Bytes& image : {Bytes{}, Bytes(200, 'M'), Bytes{'M', 'Z', 0, 0}}) {
    EXPECT_FALSE(resources.read(image, error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
