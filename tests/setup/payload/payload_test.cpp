#include <gtest/gtest.h>

#include <stdexcept>

#include "failure.h"
#include "installer.h"
#include "payload/payload.h"
#include "test_files.h"

namespace {

TEST(ArchiveOffset, DigitsAreReadAsUnsigned32BitDecimal) {
  const struct {
    std::string digits;
    std::uint32_t expected;
  } cases[] = {
      {"686592", 686592u},
      {"0", 0u},
      {"", 0u},
      {"4294967295", 4294967295u},
      {"4294967296", 0u},  // wraps in 32 bits
      {"007", 7u},
      {"1a", 1u * 10u + static_cast<std::uint32_t>('a' - '0')},  // not validated
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.digits);
    EXPECT_EQ(parseArchiveOffset(c.digits.data(), static_cast<DWORD>(c.digits.size())), c.expected);
  }
  // What the builder writes reads back as it was meant.
  for (const std::uint32_t offset : {0u, 7u, 686592u, 4294967295u}) {
    const std::string text = archiveOffsetText(offset);
    EXPECT_EQ(parseArchiveOffset(text.data(), static_cast<DWORD>(text.size())), offset) << text;
  }
  EXPECT_EQ(archiveOffsetText(686592), "686592");
}

TEST(ProgramFiles, X86SuffixIsCut) {
  EXPECT_EQ(programFilesFrom(L"C:\\Program Files"), L"C:\\Program Files");
  EXPECT_EQ(programFilesFrom(L"C:\\Program Files (x86)"), L"C:\\Program Files");
  EXPECT_EQ(programFilesFrom(L""), L"");
}

TEST(CreatePath, CreatesMissingParentsAndAcceptsForwardSlashes) {
  TestFolder folder;
  const std::wstring deep = folder / L"a/b\\c/d";
  EXPECT_EQ(createPath(deep), 0u);
  EXPECT_TRUE(isFolder(folder / L"a\\b\\c\\d"));
  // An existing path is fine and changes nothing.
  EXPECT_EQ(createPath(deep), 0u);
  EXPECT_EQ(listFolder(folder / L"a\\b\\c"), std::vector<std::wstring>{L"d"});
}

TEST(CreatePath, FileInTheWayGivesTheLastError) {
  TestFolder folder;
  writeFile(folder / L"file", "x");
  EXPECT_NE(createPath(folder / L"file\\sub"), 0u);
  EXPECT_FALSE(exists(folder / L"file\\sub"));
}

TEST(ExtractArchiveFile, CopiesFromOffsetToEndAcrossChunkBoundaries) {
  TestFolder folder;
  // Many 256 KiB chunks, and not a multiple of them.
  const std::string head = patternBytes(4321, 7);
  const std::string archive = patternBytes(10'000'013, 9);
  writeFile(folder / L"setup.exe", head + archive);
  const std::wstring target = folder / L"tmp.zip";
  EXPECT_EQ(extractArchiveFile(target, 4321, folder / L"setup.exe"), archive.size());
  EXPECT_TRUE(readFile(target) == archive);
}

TEST(ExtractArchiveFile, OffsetAtOrBeyondEndCopiesNothing) {
  TestFolder folder;
  writeFile(folder / L"setup.exe", "0123456789");
  for (std::uint32_t offset : {10u, 11u, 4000000000u}) {
    SCOPED_TRACE(offset);
    writeFile(folder / L"tmp.zip", "stale content");
    EXPECT_EQ(extractArchiveFile(folder / L"tmp.zip", offset, folder / L"setup.exe"), 0u);
    EXPECT_EQ(readFile(folder / L"tmp.zip"), "");  // created empty, old content replaced
  }
}

TEST(ExtractArchiveFile, MissingSourceCopiesNothingAndRaisesNothing) {
  TestFolder folder;
  EXPECT_NO_THROW(extractArchiveFile(folder / L"tmp.zip", 0, folder / L"missing.exe"));
  EXPECT_TRUE(exists(folder / L"tmp.zip"));
  EXPECT_EQ(readFile(folder / L"tmp.zip"), "");
}

TEST(ExtractArchiveFile, UncreatableTargetRaises) {
  TestFolder folder;
  writeFile(folder / L"setup.exe", "0123456789");
  try {
    extractArchiveFile(folder / L"no\\such\\folder\\tmp.zip", 2, folder / L"setup.exe");
    FAIL() << "no error raised";
  } catch (const Failure& e) {
    EXPECT_STREQ(e.what(), "can't create temporary zip file");
  }
}

// The installer reads its payload from a module; here a copy of this program with resources.
class InstallerConstruction : public testing::Test {
 protected:
  HMODULE load(const std::vector<std::pair<WORD, std::string>>& resources) {
    const std::wstring image = imageWithResources(images.path(), resources);
    module = LoadLibraryExW(image.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(module, nullptr);
    return module;
  }
  void TearDown() override {
    if (module) FreeLibrary(module);
  }
  std::string constructionError(HMODULE from) {
    try {
      Installer installer(nullptr, from, temp.path());
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
  TestFolder images;
  TestFolder temp;
  HMODULE module = nullptr;
};

TEST_F(InstallerConstruction, ReadsOffsetAndSetupNameAndMakesThenRemovesItsFolder) {
  HMODULE from = load({{1, "686592"}, {2, std::string("setup.exe\0", 10)}});
  std::wstring workDir;
  {
    Installer installer(nullptr, from, temp.path());
    EXPECT_EQ(installer.archiveOffset, 686592u);
    EXPECT_FALSE(installer.noSetupFileName);
    EXPECT_EQ(installer.setupFileName, "setup.exe");
    workDir = installer.workDir;
    EXPECT_TRUE(isFolder(workDir));
    EXPECT_EQ(workDir.substr(0, temp.path().size() + 4), temp.path() + L"\\kel");
    writeFile(workDir + L"\\left.txt", "unpacked");
  }
  EXPECT_FALSE(exists(workDir));
  EXPECT_TRUE(listFolder(temp.path()).empty());
}

TEST_F(InstallerConstruction, SetupNameWithoutZeroByteIsReadWithinTheResource) {
  HMODULE from = load({{1, "1"}, {2, "setup.exe"}});
  Installer installer(nullptr, from, temp.path());
  EXPECT_EQ(installer.setupFileName, "setup.exe");
}

TEST_F(InstallerConstruction, NoSetupNameLeavesDistributionMode) {
  Installer installer(nullptr, load({{1, "12"}}), temp.path());
  EXPECT_TRUE(installer.noSetupFileName);
  EXPECT_TRUE(installer.setupFileName.empty());
}

TEST_F(InstallerConstruction, PayloadErrorsComeBeforeAnyFolderIsMade) {
  EXPECT_EQ(constructionError(load({{1, "<delete>"}})), "can't find local res");
  // This test program carries an empty offset resource of its own.
  EXPECT_EQ(constructionError(load({})), "ZIP-archive not present");
  EXPECT_TRUE(listFolder(temp.path()).empty());
}

}  // namespace
