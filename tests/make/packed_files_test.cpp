#include "packed_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "folder_archive.h"
#include "folder_walk.h"
#include "paths.h"
#include "test_files.h"
#include "text.h"

namespace {

constexpr size_t kChunk = 1 << 20;

// A walked tree: small text files, a text of two compression chunks and 13 bytes, a random file
// of the same size (stored after a look at its start) and a small random one (stored after
// deflate made it longer); a folder for the spools beside it.
struct Tree {
  Tree() {
    for (int i = 0; i < 10; ++i) {
      writeFile(folder / (L"text" + std::to_wstring(i) + L".txt"), std::string(3000 + i, 'a'));
    }
    writeFile(folder / L"big.txt", std::string(2 * kChunk + 13, 'b'));
    writeFile(folder / L"random.bin", patternBytes(2 * kChunk + 13));
    writeFile(folder / L"tiny.bin", patternBytes(13));
    walkFolder(extendedPath(folder.path()), folder.path(),
               [this](WalkedFile&& file) { files.push_back(std::move(file)); });
  }
  // Hands the walked files over, as the walk would have.
  void feed(PackedFiles& packed) {
    for (WalkedFile& file : files) packed.add(std::move(file));
  }
  size_t indexOf(const std::string& entry) const {
    for (size_t i = 0; i < files.size(); ++i) {
      if (files[i].entry == entry) return i;
    }
    ADD_FAILURE() << entry << " was not walked";
    return 0;
  }
  std::string failure(size_t index) const { return "Can't add file to zip: " + toNarrow(files[index].shown); }

  TestFolder folder;
  TestFolder spools;
  std::vector<WalkedFile> files;
};

enum class Change { Grown, Shrunk, Unreadable };

// What the packing sees of a file that changed after the walk.
void change(WalkedFile& file, Change how) {
  if (how == Change::Grown) file.size -= 1;
  if (how == Change::Shrunk) file.size += 1;
  if (how == Change::Unreadable) {
    file.file.reset(CreateFileW(file.shown.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  }
}

}  // namespace

TEST(PackedFiles, FirstFileInWalkOrderThatCannotBePackedIsNamedAndNoSpoolStays) {
  struct Case {
    unsigned workers;
    std::vector<std::pair<std::string, Change>> changes;
  };
  const std::vector<Case> cases = {
      {1, {{"text7.txt", Change::Shrunk}}},
      {4, {{"text9.txt", Change::Unreadable}, {"text3.txt", Change::Grown}}},
      {4, {{"big.txt", Change::Grown}, {"text2.txt", Change::Shrunk}}},
      {2, {{"tiny.bin", Change::Unreadable}, {"big.txt", Change::Shrunk}}},
  };
  for (const Case& c : cases) {
    Tree tree;
    size_t first = tree.files.size();
    for (const auto& [entry, how] : c.changes) {
      const size_t index = tree.indexOf(entry);
      change(tree.files[index], how);
      first = std::min(first, index);
    }
    const std::string context = std::to_string(c.workers) + " workers, first change " + tree.files[first].entry;
    const std::string expected = tree.failure(first);
    try {
      PackedFiles packed(tree.spools.path(), c.workers);
      tree.feed(packed);
      packed.finish();
      ADD_FAILURE() << context << ": no failure";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), expected) << context;
    }
    EXPECT_EQ(listFolder(tree.spools.path()), std::vector<std::wstring>()) << context;
  }
}

TEST(FolderArchive, StoredFileThatChangesSizeBeforeTheArchiveIsWrittenIsNamedAndNothingStays) {
  for (const auto& [entry, grow] : {std::pair{"random.bin", true}, {"random.bin", false}, {"tiny.bin", true}}) {
    Tree tree;
    const size_t index = tree.indexOf(entry);
    const std::string context = std::string(entry) + (grow ? " grown" : " shrunk");
    const std::string expected = tree.failure(index);
    {
      PackedFiles packed(tree.spools.path(), 2);
      tree.feed(packed);
      packed.finish();
      ASSERT_TRUE(packed[index].stored) << context;
      UniqueFile writer(CreateFileW(packed.file(index).shown.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
      LARGE_INTEGER end;
      end.QuadPart = static_cast<LONGLONG>(packed.file(index).size) - (grow ? 0 : 1);
      DWORD written = 0;
      ASSERT_TRUE(writer && SetFilePointerEx(writer.get(), end, nullptr, FILE_BEGIN) &&
                  (grow ? WriteFile(writer.get(), "+", 1, &written, nullptr) : SetEndOfFile(writer.get())))
          << context;

      FolderArchive archive(tree.spools / L"out.zip", "out.zip", tree.spools.path());
      try {
        archive.write(packed);
        ADD_FAILURE() << context << ": no failure";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), expected) << context;
      }
    }
    EXPECT_EQ(listFolder(tree.spools.path()), std::vector<std::wstring>()) << context;
  }
}
