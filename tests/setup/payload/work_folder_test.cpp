#include <gtest/gtest.h>

#include "handles.h"
#include "test_files.h"
#include "payload/work_folder.h"

namespace {

bool looksLikeWorkFolder(const std::wstring& parent, const std::wstring& path) {
  const std::wstring name = path.substr(parent.size() + 1);
  return path.compare(0, parent.size() + 1, parent + L"\\") == 0 && name.compare(0, 3, L"kel") == 0 &&
         name.size() > 4 && name.substr(name.size() - 4) == L".tmp";
}

TEST(WorkFolder, FreshFolderPerCallNamedKelTmp) {
  TestFolder temp;
  const std::wstring first = createWorkFolder(temp.path());
  const std::wstring second = createWorkFolder(temp.path());
  ASSERT_FALSE(first.empty());
  EXPECT_NE(first, second);
  EXPECT_TRUE(isFolder(first));
  EXPECT_TRUE(isFolder(second));
  EXPECT_TRUE(looksLikeWorkFolder(temp.path(), first)) << testing::PrintToString(first);
  // The unique name's placeholder file does not stay behind.
  EXPECT_EQ(listFolder(temp.path()).size(), 2u);
}

TEST(WorkFolder, PlantedFolderUnderTheFreshNameIsNeverReused) {
  TestFolder temp;
  std::wstring planted;
  const std::wstring folder = createWorkFolder(temp.path(), [&](const std::wstring& name) {
    if (!planted.empty()) return;
    // Someone creates the name between the placeholder's removal and our folder.
    planted = name;
    ASSERT_TRUE(CreateDirectoryW(name.c_str(), nullptr));
    writeFile(name + L"\\theirs.txt", "not ours");
  });
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder, planted);
  EXPECT_TRUE(listFolder(folder).empty());
  EXPECT_EQ(readFile(planted + L"\\theirs.txt"), "not ours");
}

TEST(WorkFolder, PlantedFileUnderTheFreshNameIsNeverReused) {
  TestFolder temp;
  std::wstring planted;
  const std::wstring folder = createWorkFolder(temp.path(), [&](const std::wstring& name) {
    if (planted.empty()) writeFile(planted = name, "a file");
  });
  EXPECT_NE(folder, planted);
  EXPECT_TRUE(isFolder(folder));
  EXPECT_EQ(readFile(planted), "a file");
}

TEST(WorkFolder, MissingParentGivesNoFolder) {
  TestFolder temp;
  EXPECT_EQ(createWorkFolder(temp / L"missing"), L"");
}

TEST(RemoveFolderTree, RemovesNestedContentEvenReadOnly) {
  TestFolder temp;
  const std::wstring root = temp / L"work";
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((root + L"\\a").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((root + L"\\a\\b").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((root + L"\\empty").c_str(), nullptr));
  writeFile(root + L"\\top.txt", "1");
  writeFile(root + L"\\a\\b\\deep.bin", patternBytes(5000));
  writeFile(root + L"\\a\\readonly.txt", "r");
  SetFileAttributesW((root + L"\\a\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(removeFolderTree(root));
  EXPECT_FALSE(exists(root));
}

TEST(RemoveFolderTree, MissingFolderIsAlreadyGone) {
  TestFolder temp;
  EXPECT_TRUE(removeFolderTree(temp / L"never-made"));
  EXPECT_TRUE(removeFolderTree(L""));
}

TEST(RemoveFolderTree, FileInUseLeavesItBehindWithoutFailingHard) {
  TestFolder temp;
  const std::wstring root = temp / L"work";
  ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
  writeFile(root + L"\\busy.txt", "busy");
  writeFile(root + L"\\free.txt", "free");
  {
    // Open without delete sharing: the file cannot go while this handle lives.
    UniqueFile busy(CreateFileW((root + L"\\busy.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(busy.valid());
    EXPECT_FALSE(removeFolderTree(root));
    EXPECT_TRUE(exists(root + L"\\busy.txt"));
    EXPECT_FALSE(exists(root + L"\\free.txt"));
  }
  EXPECT_TRUE(removeFolderTree(root));
  EXPECT_FALSE(exists(root));
}

}  // namespace
