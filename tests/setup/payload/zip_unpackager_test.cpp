#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "failure.h"
#include "payload/zip_unpackager.h"
#include "test_files.h"
#include "text.h"

namespace {

const std::string kPrefix = "error occured, during archive unpackaging: ";

class Unpacking : public testing::Test {
 protected:
  // Unpacks `entries` into a fresh "dest" folder; records every percentage reported.
  bool unpack(const std::vector<ZipEntry>& entries, std::function<bool(std::int32_t)> stop = nullptr) {
    writeZip(archive(), entries);
    return unpackFile(archive(), stop);
  }
  bool unpackFile(const std::wstring& path, std::function<bool(std::int32_t)> stop = nullptr) {
    CreateDirectoryW(dest().c_str(), nullptr);
    return ZipUnpackager(L"tmp.zip").unpack(path, dest(), [&](std::int32_t percent) {
      reports.push_back(percent);
      return stop ? stop(percent) : false;
    });
  }
  std::string errorOf(const std::vector<ZipEntry>& entries) {
    try {
      unpack(entries);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "(no error)";
  }
  std::wstring archive() const { return folder / L"tmp.zip"; }
  std::wstring dest() const { return folder / L"dest"; }
  std::wstring at(const std::wstring& relative) const { return dest() + L"\\" + relative; }

  TestFolder folder;
  std::vector<std::int32_t> reports;
};

TEST_F(Unpacking, ArchiveWithoutEntriesSucceedsWithoutProgress) {
  EXPECT_TRUE(unpack({}));
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(listFolder(dest()).empty());
}

TEST_F(Unpacking, EmptyEntryFolderEntriesAndNestedNames) {
  EXPECT_TRUE(unpack({{"empty.txt", ""},
                      {"docs/", ""},
                      {"docs/deeper/", ""},
                      {"bin/tools/app.exe", "MZ-app"},
                      {"lib\\win\\core.dll", "core"},
                      // Trailing dots and spaces go, as the platform's path rules drop them.
                      {"notes. /trailing.txt. ", "t"}}));
  EXPECT_EQ(readFile(at(L"empty.txt")), "");
  EXPECT_TRUE(isFolder(at(L"docs\\deeper")));
  EXPECT_TRUE(listFolder(at(L"docs\\deeper")).empty());
  EXPECT_EQ(readFile(at(L"bin\\tools\\app.exe")), "MZ-app");
  EXPECT_EQ(readFile(at(L"lib\\win\\core.dll")), "core");
  EXPECT_EQ(readFile(at(L"notes\\trailing.txt")), "t");
  // The empty entry reported nothing; the three small files one chunk each.
  EXPECT_EQ(reports.size(), 3u);
}

TEST_F(Unpacking, ExistingTargetIsOverwritten) {
  CreateDirectoryW(dest().c_str(), nullptr);
  writeFile(at(L"setup.ini"), std::string(5000, 'o'));
  EXPECT_TRUE(unpack({{"setup.ini", "new"}}));
  EXPECT_EQ(readFile(at(L"setup.ini")), "new");
}

TEST_F(Unpacking, FileEntryOverAnExistingFolderIsPassedOver) {
  CreateDirectoryW(dest().c_str(), nullptr);
  CreateDirectoryW(at(L"plugins").c_str(), nullptr);
  writeFile(at(L"plugins\\keep.txt"), "kept");
  EXPECT_TRUE(unpack({{"plugins", "a file named like the folder"}, {"after.txt", "after"}}));
  EXPECT_TRUE(isFolder(at(L"plugins")));
  EXPECT_EQ(readFile(at(L"plugins\\keep.txt")), "kept");
  EXPECT_EQ(readFile(at(L"after.txt")), "after");
}

TEST_F(Unpacking, ChunkBoundariesKeepEveryByte) {
  // Around the report chunk, and around the size up to which deflated entries are inflated
  // whole (compressible data, so that they are deflated for real).
  const size_t whole = 1u << 20;
  for (size_t size : {999u, 1000u, 1001u, 2999u, 3000u, 3001u, 1000u * 37 + 13, whole, whole + 1}) {
    SCOPED_TRACE(size);
    reports.clear();
    std::string data = patternBytes(size, static_cast<unsigned>(size));
    if (size >= whole) {
      for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(data[i % 1024] & 0x0F);
    }
    EXPECT_TRUE(unpack({{"data.bin", data}}));
    EXPECT_TRUE(readFile(at(L"data.bin")) == data);
    EXPECT_EQ(reports.size(), (size + 999) / 1000);  // one report per chunk of at most 1000 bytes
  }
}

TEST_F(Unpacking, PercentagePassesHundredForCompressibleData) {
  EXPECT_TRUE(unpack({{"text.txt", std::string(200000, 'a')}}));
  ASSERT_FALSE(reports.empty());
  EXPECT_GT(reports.back(), 100);
  for (size_t i = 1; i < reports.size(); ++i) EXPECT_LE(reports[i - 1], reports[i]);
}

TEST_F(Unpacking, StopOnFirstReportLeavesOnePartlyWrittenFile) {
  EXPECT_FALSE(unpack({{"first.bin", patternBytes(5000)}, {"second.bin", "x"}}, [](std::int32_t) { return true; }));
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(readFile(at(L"first.bin")).size(), 1000u);
  EXPECT_FALSE(exists(at(L"second.bin")));
}

TEST_F(Unpacking, UnsafeNamesAreRefusedAndNothingIsCreatedOutside) {
  const char* names[] = {"../evil.txt",     "a/../../evil.txt", "a/..",         "/rooted.txt",   "\\rooted.txt",
                         "C:/drive.txt",    "C:drive.txt",      "\\\\server\\share\\x.txt",
                         "\\\\?\\C:\\x.txt", "file.txt:stream",  "CON",          "nul.txt",       "sub/COM1.log",
                         "LPT9",            "aux ",             "Prn.tar.gz"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    const std::string error = errorOf({{name, "payload"}});
    EXPECT_EQ(error, kPrefix + "unsafe entry name: " + name);
    // Only the archive and the destination, which stays empty, exist in the test folder.
    EXPECT_EQ(listFolder(folder.path()), (std::vector<std::wstring>{L"dest", L"tmp.zip"}));
    EXPECT_TRUE(listFolder(dest()).empty());
  }
}

TEST_F(Unpacking, DeviceNamesOfCurrentSystemsAndOrdinaryNamesThatLookOdd) {
  const struct {
    const char* name;  // UTF-8
    bool safe;
  } cases[] = {{"COM0", false},           {"lpt0.log", false},      {"COM\xC2\xB9", false}, {"Com\xC2\xB2.txt", false},
               {"sub/LPT\xC2\xB3", false}, {"LPT\xC2\xB9 .x", false}, {"conin$", false},       {"CONOUT$.txt", false},
               {"a/.../b", false},         {"a/ . /b", false},       {"a..b.txt", true},       {"CONSOLE.txt", true},
               {"COM10", true},            {"COM\xC2\xB4", true},    {"nulls/x.txt", true},    {"./here.txt", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ZipUnpackager::isSafeEntryName(c.name), c.safe);
  }
}

TEST_F(Unpacking, ErrorTexts) {
  // Not an archive at all.
  writeFile(archive(), "this is not a zip file");
  try {
    unpackFile(archive());
    FAIL();
  } catch (const ZipUnpackagerException& e) {
    EXPECT_EQ(std::string(e.what()), kPrefix + "can't open zip: " + toNarrow(archive()) + "19");
  }
  // Missing archive: the size query fails first.
  try {
    unpackFile(folder / L"missing.zip");
    FAIL();
  } catch (const ZipUnpackagerException&) {
    FAIL() << "the size query comes first";
  } catch (const std::exception& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("filesystem error: cannot get file size: ", 0), 0u) << text;
    EXPECT_NE(text.find(" [" + toNarrow(folder / L"missing.zip") + "]"), std::string::npos) << text;
  }
  // A target whose folder is a file.
  CreateDirectoryW(dest().c_str(), nullptr);
  writeFile(at(L"blocker"), "file");
  EXPECT_EQ(errorOf({{"blocker/inside.txt", "x"}}), kPrefix + "file can't be opened: blocker/inside.txt");
}

TEST_F(Unpacking, TruncatedArchiveCannotBeOpened) {
  writeZip(archive(), {{"a.bin", patternBytes(20000)}});
  std::string bytes = readFile(archive());
  writeFile(archive(), bytes.substr(0, bytes.size() - 30));  // the central directory's end is gone
  EXPECT_THROW(unpackFile(archive()), ZipUnpackagerException);
}

TEST_F(Unpacking, EmptyCallbackIsRefused) {
  writeZip(archive(), {});
  EXPECT_THROW(ZipUnpackager(L"tmp.zip").unpack(archive(), dest(), nullptr), Failure);
}

// Every file of the tree, relative path and content, below `folder`.
void collectTree(const std::wstring& folder, const std::wstring& prefix, std::vector<std::pair<std::wstring, std::string>>& tree) {
  for (const std::wstring& name : listFolder(folder)) {
    const std::wstring path = folder + L"\\" + name;
    if (isFolder(path)) {
      tree.emplace_back(prefix + name + L"\\", "");
      collectTree(path, prefix + name + L"\\", tree);
    } else {
      tree.emplace_back(prefix + name, readFile(path));
    }
  }
}

// Two threads give the tree one thread gives, byte for byte, with the same reports: folders
// and files in every order, names that land on the same file (the last one wins), empty files,
// sizes around the report chunk.
TEST(UnpackingThreads, TwoThreadsGiveTheTreeOfOne) {
  std::vector<ZipEntry> entries;
  for (int i = 0; i < 240; ++i) {
    const std::string folder = "part" + std::to_string(i % 7) + "/sub" + std::to_string(i % 3) + "/";
    entries.push_back({folder + "file" + std::to_string(i) + ".bin", patternBytes(static_cast<size_t>(i * 997 % 5003), i)});
    if (i % 40 == 0) entries.push_back({folder + "empty" + std::to_string(i) + "/", ""});
  }
  entries.push_back({"part1/sub1/FILE1.BIN", "the last one wins"});
  entries.push_back({"part2\\sub2\\file2.bin.", "another spelling of the same path"});
  entries.push_back({"top.txt", std::string(200000, 't')});
  TestFolder folder;
  writeZip(folder / L"tmp.zip", entries);
  std::vector<std::pair<std::wstring, std::string>> trees[2];
  std::vector<std::int32_t> reports[2];
  for (unsigned threads : {1u, 2u}) {
    const std::wstring destination = folder / (L"dest" + std::to_wstring(threads));
    CreateDirectoryW(destination.c_str(), nullptr);
    auto& seen = reports[threads - 1];
    EXPECT_TRUE(ZipUnpackager(L"tmp.zip").unpack(folder / L"tmp.zip", destination, [&](std::int32_t percent) {
      seen.push_back(percent);
      return false;
    }, threads));
    collectTree(destination, L"", trees[threads - 1]);
  }
  EXPECT_TRUE(trees[0] == trees[1]);
  ASSERT_EQ(trees[0].size(), trees[1].size());
  EXPECT_EQ(reports[0].size(), reports[1].size());
  EXPECT_EQ(reports[0].back(), reports[1].back());
  EXPECT_TRUE(std::is_sorted(reports[1].begin(), reports[1].end()));
}

// A read error inside the archive is raised with the exit code 102 it calls for, once reported.
TEST(UnpackingReadError, CorruptedDataRaisesWithExitCode102) {
  // Text is deflated for real (damage breaks the stream); random bytes are stored in raw blocks
  // (damage only shows in the CRC at the entry's end).
  const struct {
    const char* what;
    std::string data;
  } cases[] = {{"compressed", std::string(100000, 'x') + patternBytes(1000) + std::string(100000, 'y')},
               {"compressed, larger than what is inflated whole",
                std::string(1500000, 'x') + patternBytes(1000) + std::string(1500000, 'y')},
               {"incompressible", patternBytes(300000)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestFolder folder;
    const std::wstring archive = folder / L"tmp.zip";
    writeZip(archive, {{"a.bin", c.data}});
    std::string bytes = readFile(archive);
    // Damage the entry's data between its local header and the central directory.
    const size_t end = bytes.rfind(std::string("PK\x01\x02", 4));
    ASSERT_NE(end, std::string::npos);
    for (size_t i = 60; i < end / 2; i += 7) bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    writeFile(archive, bytes);
    CreateDirectoryW((folder / L"dest").c_str(), nullptr);
    try {
      ZipUnpackager(L"tmp.zip").unpack(archive, folder / L"dest", [](std::int32_t) { return false; });
      ADD_FAILURE() << "no error raised";
    } catch (const ZipUnpackagerException& e) {
      EXPECT_EQ(e.exitCode(), 102);
      EXPECT_EQ(std::string(e.what()), kPrefix + "error reading file in archive: a.bin");
    }
  }
}

}  // namespace
