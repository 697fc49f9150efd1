#include <gtest/gtest.h>

#include <atomic>

#include "handles.h"
#include "test_files.h"
#include "payload/work_folder.h"

namespace {

bool looksLikeWorkFolder(const std::wstring& parent, const std::wstring& path) {
  const std::wstring name = path.substr(parent.size() + 1);
  return path.compare(0, parent.size() + 1, parent + L"\\") == 0 && name.compare(0, 3, L"kel") == 0 &&
         name.size() > 4 && name.substr(name.size() - 4) == L".tmp";
}

// A mark's text, read beside the run that holds it open.
std::string readMark(const std::wstring& path) {
  const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  char text[64] = {};
  DWORD read = 0;
  return file && ReadFile(file.get(), text, sizeof(text), &read, nullptr) ? std::string(text, read) : std::string();
}

TEST(WorkFolder, FreshMarkedFolderPerCallNamedKelTmp) {
  TestFolder temp;
  WorkFolder firstFolder(temp.path()), secondFolder(temp.path());
  const std::wstring first = firstFolder.path(), second = secondFolder.path();
  ASSERT_FALSE(first.empty());
  EXPECT_NE(first, second);
  EXPECT_TRUE(isFolder(first));
  EXPECT_TRUE(isFolder(second));
  EXPECT_TRUE(looksLikeWorkFolder(temp.path(), first)) << testing::PrintToString(first);
  // Each has its mark beside it, held: no one opens it for deletion while the run goes on. The
  // unique name's placeholder file does not stay behind.
  EXPECT_EQ(readMark(first + L".pondrel").rfind("Pondrel working folder ", 0), 0u);
  EXPECT_FALSE(UniqueFile(CreateFileW((first + L".pondrel").c_str(), DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                      nullptr)));
  EXPECT_EQ(listFolder(temp.path()).size(), 4u);
  writeFile(first + L"\\inside.txt", "x");
  EXPECT_TRUE(firstFolder.remove());
  EXPECT_FALSE(exists(first));
  EXPECT_FALSE(exists(first + L".pondrel"));
}

// Only the folders of runs that no longer go on are taken, by their marks: a running run's
// folder, a folder whose mark names another, and anything unmarked stay; a mark whose folder has
// gone goes.
TEST(WorkFolder, LeftoversAreTakenByTheirMarksOnly) {
  TestFolder temp;
  WorkFolder running(temp.path());
  const std::string mark = readMark(running.path() + L".pondrel");
  const std::wstring forged = temp / L"kel1.tmp", unmarked = temp / L"kel2.tmp", gone = temp / L"kel3.tmp";
  for (const std::wstring& folder : {forged, unmarked}) {
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    writeFile(folder + L"\\theirs.txt", "not ours");
  }
  writeFile(forged + L".pondrel", mark);
  writeFile(gone + L".pondrel", mark);
  const std::atomic<bool> stop{false};
  removeLeftoverWorkFolders(temp.path(), stop);
  EXPECT_TRUE(isFolder(running.path()));
  EXPECT_EQ(readFile(forged + L"\\theirs.txt"), "not ours");
  EXPECT_EQ(readFile(unmarked + L"\\theirs.txt"), "not ours");
  EXPECT_FALSE(exists(gone + L".pondrel"));
}

TEST(WorkFolder, PlantedFolderUnderTheFreshNameIsNeverReused) {
  TestFolder temp;
  std::wstring planted;
  WorkFolder made(temp.path(), [&](const std::wstring& name) {
    if (!planted.empty()) return;
    // Someone creates the name between the placeholder's removal and our folder.
    planted = name;
    ASSERT_TRUE(CreateDirectoryW(name.c_str(), nullptr));
    writeFile(name + L"\\theirs.txt", "not ours");
  });
  const std::wstring folder = made.path();
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder, planted);
  EXPECT_TRUE(listFolder(folder).empty());
  EXPECT_EQ(readFile(planted + L"\\theirs.txt"), "not ours");
}

// A file under the fresh name, or a mark beside it (one that an earlier run left): another name.
TEST(WorkFolder, PlantedFileOrMarkUnderTheFreshNameIsNeverReused) {
  for (const std::wstring suffix : {L"", L".pondrel"}) {
    TestFolder temp;
    std::wstring planted;
    WorkFolder made(temp.path(), [&](const std::wstring& name) {
      if (planted.empty()) writeFile(planted = name + suffix, "a file");
    });
    const std::wstring folder = made.path();
    EXPECT_NE(folder + suffix, planted);
    EXPECT_TRUE(isFolder(folder));
    EXPECT_EQ(readFile(planted), "a file");
  }
}

TEST(WorkFolder, MissingParentGivesNoFolder) {
  TestFolder temp;
  EXPECT_EQ(WorkFolder(temp / L"missing").path(), L"");
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
