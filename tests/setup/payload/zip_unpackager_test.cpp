#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include <zlib.h>

#include <cstring>

#include "failure.h"
#include "payload/entry_decoder.h"
#include "payload/zip_unpackager.h"
#include "raw_zip.h"
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

// Stored bytes handed out in pieces of at most `piece` bytes, as the archive's reads may fall.
class PiecewiseSource : public StoredSource {
 public:
  PiecewiseSource(const std::string& bytes, size_t piece) : bytes_(bytes), piece_(piece) {}
  std::int64_t read(void* data, std::uint64_t size) override {
    const size_t count = static_cast<size_t>(std::min<std::uint64_t>({size, piece_, bytes_.size() - at_}));
    std::memcpy(data, bytes_.data() + at_, count);
    at_ += count;
    return static_cast<std::int64_t>(count);
  }

 private:
  const std::string& bytes_;
  size_t piece_;
  size_t at_ = 0;
};

// Raw deflate data of `data` at `level`, as an archive holds it.
std::string deflated(const std::string& data, int level) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// Zeros, text and random bytes: content that deflates to nothing, to something, and not at all.
std::string content(int kind, size_t size) {
  if (kind == 0) return std::string(size, '\0');
  if (kind == 2) return patternBytes(size, static_cast<unsigned>(size) + 7);
  std::string text;
  for (unsigned line = 0; text.size() < size; ++line) text += "line " + std::to_string(line * 2654435761u % 100003) + " of the text\r\n";
  text.resize(size);
  return text;
}

// The promise of the decoder: whatever an entry's size and content, its method, and the pieces
// in which the stored data arrives and the content leaves, it decodes to its bytes. The limits
// are scaled down so that sizes at and around every piece and limit take thousands of cases in
// seconds; the real limits are met around 1 MiB.
TEST(EntryDecoding, EveryEntryDecodesToItsOwnBytes) {
  struct Case {
    DecoderLimits limits;
    std::vector<size_t> reads;
    std::vector<size_t> sizes;  // beside those around the limits
  };
  std::vector<Case> cases;
  for (const DecoderLimits limits : {DecoderLimits{7, 100}, DecoderLimits{64, 1000}, DecoderLimits{1000, 4096},
                                     DecoderLimits{4096, 16384}}) {
    const size_t piece = limits.piece, whole = static_cast<size_t>(limits.wholeEntry);
    std::vector<size_t> sizes{0, 1, 2, 2 * whole + 100, 3 * whole + piece + 1};
    for (size_t at : {piece, 2 * piece, 16 * piece}) sizes.insert(sizes.end(), {at - 1, at, at + 1});
    cases.push_back({limits, {1, 3, 97, piece, SIZE_MAX}, sizes});
  }
  cases.push_back({DecoderLimits{}, {64 * 1024, SIZE_MAX}, {(2u << 20) + 100}});
  int checked = 0;
  for (Case& c : cases) {
    const size_t piece = c.limits.piece, whole = static_cast<size_t>(c.limits.wholeEntry);
    std::vector<size_t>& sizes = c.sizes;
    sizes.insert(sizes.end(), {whole - 1, whole, whole + 1, whole + piece - 1, whole + piece, whole + piece + 1});
    EntryDecoder decoder(c.limits);
    for (const size_t size : sizes) {
      for (int kind = 0; kind < 3; ++kind) {
        const std::string data = content(kind, size);
        const std::uint32_t crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
        for (const int level : {-1, 1, 9}) {  // -1: stored
          const std::string stored = level < 0 ? data : deflated(data, level);
          EntryInfo info;
          info.sizeKnown = info.crcKnown = true;
          info.size = size;
          info.storedSize = stored.size();
          info.storesNothing = stored.empty();
          info.crc = crc;
          info.method = level < 0 ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
          for (const size_t read : c.reads) {
            SCOPED_TRACE(testing::Message() << "piece " << piece << ", whole " << whole << ", size " << size
                                            << ", content " << kind << ", level " << level << ", reads of " << read);
            PiecewiseSource source(stored, read);
            std::string out;
            bool decoded = false;
            ASSERT_NO_THROW(decoded = decoder.decode(source, info, "x", [&](const char* bytes, size_t count) {
              EXPECT_LE(count, std::max(piece, whole));
              out.append(bytes, count);
              return true;
            }));
            EXPECT_TRUE(decoded);
            ASSERT_TRUE(out == data);
            ++checked;
          }
        }
      }
    }
  }
  EXPECT_GT(checked, 2000);
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

// Archives other tools may write, and names that meet in the file system: each gives its result,
// and the same with one thread and with two.
TEST(UnpackingEdges, OtherToolsArchivesAndNamesThatMeet) {
  TestFolder folder;
  // The platform's own short name of a long name (Wine's differs from the "~1" of Windows).
  writeFile(folder / L"LongFileName.txt", "x");
  std::wstring shortPath(MAX_PATH, L'\0');
  shortPath.resize(GetShortPathNameW((folder / L"LongFileName.txt").c_str(), shortPath.data(), MAX_PATH));
  const std::string shortName = toNarrow(shortPath.substr(shortPath.rfind(L'\\') + 1));
  ASSERT_NE(shortName, "LongFileName.txt");
  std::string damagedHeader = rawZip({storedEntry("first.txt", "one"), storedEntry("second.txt", "two")});
  damagedHeader.replace(damagedHeader.find("PK\x03\x04", 1), 4, "PK\x07\x08");
  const struct {
    const char* what;
    std::string archive;
    std::string expected;  // the tree as "name=content;" in listing order, or the error text
  } cases[] = {
      {"a deflated entry that stores nothing", rawZip({{"empty.txt", 8, "", 0, 0}, storedEntry("after.txt", "abc")}),
       "after.txt=abc;empty.txt=;"},
      {"an entry without a name", rawZip({storedEntry("", "lost"), storedEntry("kept.txt", "abc")}), "kept.txt=abc;"},
      {"a local header that is none", damagedHeader, kPrefix + "can't find index 1 in zip: tmp.zip"},
      {"a short name of a long one", rawZip({storedEntry("LongFileName.txt", "long"), storedEntry(shortName, "short")}),
       kPrefix + "file can't be opened: "},
      {"a file where a folder is needed", rawZip({storedEntry("a", "file"), storedEntry("a/b", "inner")}),
       kPrefix + "file can't be opened: a/b"},
      {"a folder where a file is to be", rawZip({storedEntry("a/b", "inner"), storedEntry("a", "file")}),
       "a\\b=inner;"},
  };
  int made = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(folder / L"tmp.zip", c.archive);
    for (unsigned threads : {1u, 2u}) {
      SCOPED_TRACE(threads);
      const std::wstring destination = folder / (L"dest" + std::to_wstring(++made));
      CreateDirectoryW(destination.c_str(), nullptr);
      std::string outcome;
      try {
        ZipUnpackager(L"tmp.zip").unpack(folder / L"tmp.zip", destination, [](std::int32_t) { return false; }, threads);
        std::vector<std::pair<std::wstring, std::string>> tree;
        collectTree(destination, L"", tree);
        for (const auto& [name, bytes] : tree) {
          if (name.back() != L'\\') outcome += toNarrow(name) + "=" + bytes + ";";
        }
      } catch (const ZipUnpackagerException& e) {
        outcome = e.what();
        // Which of two aliases meets the other depends on the threads; the error is the same.
        if (outcome.rfind(kPrefix + "file can't be opened: ", 0) == 0 && c.expected.back() == ' ') {
          outcome.resize(c.expected.size());
        }
      }
      EXPECT_EQ(outcome, c.expected);
    }
  }
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
