#include <gtest/gtest.h>

#include <stdexcept>

#include "failure.h"
#include "file_io.h"
#include "installer.h"
#include "payload/payload.h"
#include "payload/zip_unpackager.h"
#include "raw_zip.h"
#include "test_files.h"
#include "threads.h"

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

// An archive file whose bytes are written only as a reader asks for them: bytes read without
// asking read as zeros.
class OnDemandFeed final : public ArchiveFeed {
 public:
  OnDemandFeed(const std::wstring& path, std::string bytes)
      : bytes_(std::move(bytes)), file_(createFresh(path, GENERIC_READ | GENERIC_WRITE, 0)) {
    EXPECT_TRUE(writeAt(file_.get(), bytes_.size() - 1, "", 1));
  }
  [[nodiscard]] UniqueFile readingHandle() const override {
    HANDLE duplicate = nullptr;
    DuplicateHandle(GetCurrentProcess(), file_.get(), GetCurrentProcess(), &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return UniqueFile(duplicate);
  }
  void waitFor(std::uint64_t offset, std::uint64_t size) const override {
    Lock lock(lock_);
    const std::uint64_t end = std::min<std::uint64_t>(offset + size, bytes_.size());
    if (offset >= end) return;
    EXPECT_TRUE(writeAt(file_.get(), offset, bytes_.data() + offset, static_cast<std::uint32_t>(end - offset)));
  }

 private:
  std::string bytes_;
  UniqueFile file_;
  mutable CriticalSection lock_;
};

// An archive of every size around the copy's edges (its pieces, and the last bytes copied with
// the directory), with a plain or a ZIP64 end: the directory comes first, the copy is the
// archive, and it unpacks through the copy's handle. And the unpacker waits for every byte it
// reads: an archive written only as it asks unpacks.
TEST(ArchiveCopy, CopiesTheDirectoryFirstAndFeedsTheUnpacker) {
  constexpr std::uint32_t kDirectoryRegion = 65535 + 22 + 20, kPiece = 256 * 1024;
  const auto goOn = [](std::int32_t) { return false; };
  for (const std::uint32_t wanted : {kDirectoryRegion - 1, kDirectoryRegion, kDirectoryRegion + 1, kPiece + 1,
                                     3 * kPiece + kDirectoryRegion}) {
    for (const bool zip64 : {false, true}) {
      SCOPED_TRACE(std::to_string(wanted) + (zip64 ? " zip64" : ""));
      TestFolder folder;
      const std::string head = patternBytes(4321, 7), first = patternBytes(wanted / 2, 1);
      std::string zip = rawZip({storedEntry("a.bin", first), storedEntry("b/c.bin", "")});
      const size_t zip64End = zip64 ? 56 + 20 : 0;
      const std::string second = patternBytes(wanted - zip.size() - zip64End, 2);
      zip = rawZip({storedEntry("a.bin", first), storedEntry("b/c.bin", second)});
      if (zip64) zip = withZip64End(zip);
      ASSERT_EQ(zip.size(), wanted);
      writeFile(folder / L"setup.exe", head + zip);
      ArchiveCopy copy(folder / L"tmp.zip", 4321, folder / L"setup.exe");
      ASSERT_TRUE(copy.copyDirectory(nullptr));
      // The directory is there before the entries, but for an archive small enough to be copied whole.
      EXPECT_EQ(copy.complete(), zip.size() <= kDirectoryRegion);
      EXPECT_TRUE(copy.copyRest(nullptr));
      ASSERT_EQ(createPath(folder / L"out"), 0u);
      EXPECT_TRUE(ZipUnpackager(L"tmp.zip").unpack(folder / L"tmp.zip", folder / L"out", goOn, 2, nullptr, &copy));
      EXPECT_TRUE(readFile(folder / L"out\\a.bin") == first);
      // The copy is shared with nobody: read through its own handle.
      std::string copied(zip.size() + 1, '\0');
      std::uint32_t got = 0;
      EXPECT_TRUE(readAt(copy.readingHandle().get(), 0, copied.data(), static_cast<std::uint32_t>(copied.size()), got));
      copied.resize(got);
      EXPECT_TRUE(copied == zip);
    }
  }
  {
    TestFolder folder;
    const std::string first = patternBytes(300'000, 4), second = patternBytes(70'000, 5);
    OnDemandFeed feed(folder / L"tmp.zip", rawZip({storedEntry("a.bin", first), storedEntry("b/c.bin", second)}));
    ASSERT_EQ(createPath(folder / L"out"), 0u);
    EXPECT_TRUE(ZipUnpackager(L"tmp.zip").unpack(folder / L"tmp.zip", folder / L"out", goOn, 2, nullptr, &feed));
    EXPECT_TRUE(readFile(folder / L"out\\a.bin") == first);
    EXPECT_TRUE(readFile(folder / L"out\\b\\c.bin") == second);
  }
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
