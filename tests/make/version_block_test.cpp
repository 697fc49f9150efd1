#include "version_block.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// RT_VERSION data of an image linked with this script, compiled by x86_64-w64-mingw32-windres:
//   1 VERSIONINFO FILEVERSION 1,2,3,4 PRODUCTVERSION 1,2,0,0 FILEFLAGSMASK 0x3fL FILEFLAGS 0x0L
//   FILEOS 0x40004L FILETYPE 0x1L FILESUBTYPE 0x0L
//   BLOCK "StringFileInfo" { BLOCK "040904e4" { the strings of realStrings below } }
//   BLOCK "VarFileInfo" { VALUE "Translation", 0x409, 1252 }
const Bytes realBlock = {
    0x48, 0x02, 0x34, 0x00, 0x00, 0x00, 0x56, 0x00, 0x53, 0x00, 0x5f, 0x00, 0x56, 0x00, 0x45, 0x00,
    0x52, 0x00, 0x53, 0x00, 0x49, 0x00, 0x4f, 0x00, 0x4e, 0x00, 0x5f, 0x00, 0x49, 0x00, 0x4e, 0x00,
    0x46, 0x00, 0x4f, 0x00, 0x00, 0x00, 0x00, 0x00, 0xbd, 0x04, 0xef, 0xfe, 0x00, 0x00, 0x01, 0x00,
    0x02, 0x00, 0x01, 0x00, 0x04, 0x00, 0x03, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x3f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xa8, 0x01, 0x00, 0x00,
    0x01, 0x00, 0x53, 0x00, 0x74, 0x00, 0x72, 0x00, 0x69, 0x00, 0x6e, 0x00, 0x67, 0x00, 0x46, 0x00,
    0x69, 0x00, 0x6c, 0x00, 0x65, 0x00, 0x49, 0x00, 0x6e, 0x00, 0x66, 0x00, 0x6f, 0x00, 0x00, 0x00,
    0x84, 0x01, 0x00, 0x00, 0x01, 0x00, 0x30, 0x00, 0x34, 0x00, 0x30, 0x00, 0x39, 0x00, 0x30, 0x00,
    0x34, 0x00, 0x65, 0x00, 0x34, 0x00, 0x00, 0x00, 0x2a, 0x00, 0x05, 0x00, 0x01, 0x00, 0x43, 0x00,
    0x6f, 0x00, 0x6d, 0x00, 0x70, 0x00, 0x61, 0x00, 0x6e, 0x00, 0x79, 0x00, 0x4e, 0x00, 0x61, 0x00,
    0x6d, 0x00, 0x65, 0x00, 0x00, 0x00, 0x00, 0x00, 0x4b, 0x00, 0x65, 0x00, 0x6c, 0x00, 0x6d, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x44, 0x00, 0x0e, 0x00, 0x01, 0x00, 0x46, 0x00, 0x69, 0x00, 0x6c, 0x00,
    0x65, 0x00, 0x44, 0x00, 0x65, 0x00, 0x73, 0x00, 0x63, 0x00, 0x72, 0x00, 0x69, 0x00, 0x70, 0x00,
    0x74, 0x00, 0x69, 0x00, 0x6f, 0x00, 0x6e, 0x00, 0x00, 0x00, 0x00, 0x00, 0x50, 0x00, 0x6f, 0x00,
    0x6e, 0x00, 0x64, 0x00, 0x72, 0x00, 0x65, 0x00, 0x6c, 0x00, 0x20, 0x00, 0x73, 0x00, 0x65, 0x00,
    0x74, 0x00, 0x75, 0x00, 0x70, 0x00, 0x00, 0x00, 0x30, 0x00, 0x08, 0x00, 0x01, 0x00, 0x46, 0x00,
    0x69, 0x00, 0x6c, 0x00, 0x65, 0x00, 0x56, 0x00, 0x65, 0x00, 0x72, 0x00, 0x73, 0x00, 0x69, 0x00,
    0x6f, 0x00, 0x6e, 0x00, 0x00, 0x00, 0x00, 0x00, 0x31, 0x00, 0x2e, 0x00, 0x32, 0x00, 0x2e, 0x00,
    0x33, 0x00, 0x2e, 0x00, 0x34, 0x00, 0x00, 0x00, 0x30, 0x00, 0x08, 0x00, 0x01, 0x00, 0x49, 0x00,
    0x6e, 0x00, 0x74, 0x00, 0x65, 0x00, 0x72, 0x00, 0x6e, 0x00, 0x61, 0x00, 0x6c, 0x00, 0x4e, 0x00,
    0x61, 0x00, 0x6d, 0x00, 0x65, 0x00, 0x00, 0x00, 0x50, 0x00, 0x6f, 0x00, 0x6e, 0x00, 0x64, 0x00,
    0x72, 0x00, 0x65, 0x00, 0x6c, 0x00, 0x00, 0x00, 0x40, 0x00, 0x0c, 0x00, 0x01, 0x00, 0x4f, 0x00,
    0x72, 0x00, 0x69, 0x00, 0x67, 0x00, 0x69, 0x00, 0x6e, 0x00, 0x61, 0x00, 0x6c, 0x00, 0x46, 0x00,
    0x69, 0x00, 0x6c, 0x00, 0x65, 0x00, 0x6e, 0x00, 0x61, 0x00, 0x6d, 0x00, 0x65, 0x00, 0x00, 0x00,
    0x50, 0x00, 0x6f, 0x00, 0x6e, 0x00, 0x64, 0x00, 0x72, 0x00, 0x65, 0x00, 0x6c, 0x00, 0x2e, 0x00,
    0x65, 0x00, 0x78, 0x00, 0x65, 0x00, 0x00, 0x00, 0x30, 0x00, 0x08, 0x00, 0x01, 0x00, 0x50, 0x00,
    0x72, 0x00, 0x6f, 0x00, 0x64, 0x00, 0x75, 0x00, 0x63, 0x00, 0x74, 0x00, 0x4e, 0x00, 0x61, 0x00,
    0x6d, 0x00, 0x65, 0x00, 0x00, 0x00, 0x00, 0x00, 0x50, 0x00, 0x6f, 0x00, 0x6e, 0x00, 0x64, 0x00,
    0x72, 0x00, 0x65, 0x00, 0x6c, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x04, 0x00, 0x01, 0x00, 0x50, 0x00,
    0x72, 0x00, 0x6f, 0x00, 0x64, 0x00, 0x75, 0x00, 0x63, 0x00, 0x74, 0x00, 0x56, 0x00, 0x65, 0x00,
    0x72, 0x00, 0x73, 0x00, 0x69, 0x00, 0x6f, 0x00, 0x6e, 0x00, 0x00, 0x00, 0x31, 0x00, 0x2e, 0x00,
    0x32, 0x00, 0x00, 0x00, 0x44, 0x00, 0x00, 0x00, 0x01, 0x00, 0x56, 0x00, 0x61, 0x00, 0x72, 0x00,
    0x46, 0x00, 0x69, 0x00, 0x6c, 0x00, 0x65, 0x00, 0x49, 0x00, 0x6e, 0x00, 0x66, 0x00, 0x6f, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x24, 0x00, 0x04, 0x00, 0x00, 0x00, 0x54, 0x00, 0x72, 0x00, 0x61, 0x00,
    0x6e, 0x00, 0x73, 0x00, 0x6c, 0x00, 0x61, 0x00, 0x74, 0x00, 0x69, 0x00, 0x6f, 0x00, 0x6e, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x09, 0x04, 0xe4, 0x04,
};

// Where the nodes of realBlock start (read off a dump of it).
constexpr size_t fixedInfoAt = 0x28;
constexpr size_t fixedInfoSize = 52;
constexpr size_t stringFileInfoAt = 0x5c;
constexpr size_t stringTableAt = 0x80;
constexpr size_t varFileInfoAt = 0x204;
constexpr size_t translationAt = 0x224;
constexpr size_t varFileInfoSize = 0x44;
const std::vector<size_t> realNodeStarts = {
    0,     stringFileInfoAt, stringTableAt, 0x98, 0xc4, 0x108, 0x138, 0x168, 0x1a8,
    0x1d8, varFileInfoAt,    translationAt};

const std::wstring table = L"040904e4";
const std::vector<std::pair<std::wstring, std::wstring>> realStrings = {
    {L"CompanyName", L"Kelm"},
    {L"FileDescription", L"Pondrel setup"},
    {L"FileVersion", L"1.2.3.4"},
    {L"InternalName", L"Pondrel"},
    {L"OriginalFilename", L"Pondrel.exe"},
    {L"ProductName", L"Pondrel"},
    {L"ProductVersion", L"1.2"}};

uint16_t wordAt(const Bytes& bytes, size_t at) {
  return static_cast<uint16_t>(bytes.at(at) | (bytes.at(at + 1) << 8));
}

void putWord(Bytes& bytes, size_t at, uint16_t word) {
  bytes.at(at) = static_cast<uint8_t>(word & 0xFF);
  bytes.at(at + 1) = static_cast<uint8_t>(word >> 8);
}

size_t alignUp(size_t offset) { return (offset + 3) / 4 * 4; }

// UTF-16LE bytes of BMP text, with the terminator when asked.
Bytes utf16le(const std::wstring& text, bool terminated) {
  Bytes out;
  for (wchar_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>((c >> 8) & 0xFF));
  }
  if (terminated) {
    out.insert(out.end(), {0, 0});
  }
  return out;
}

std::optional<VersionBlock> parseBytes(const Bytes& bytes) {
  return VersionBlock::parse(bytes.data(), bytes.size());
}

// Start of the node whose key is `key`, found by searching the raw bytes for the terminated
// key at an even offset; independent of the code under test.
size_t nodeStart(const Bytes& bytes, const std::wstring& key) {
  const Bytes pattern = utf16le(key, true);
  auto from = bytes.begin();
  for (;;) {
    auto found = std::search(from, bytes.end(), pattern.begin(), pattern.end());
    if (found == bytes.end()) {
      ADD_FAILURE() << "key not in the block";
      return 0;
    }
    const auto at = static_cast<size_t>(found - bytes.begin());
    if (at % 2 == 0 && at >= 6) {
      return at - 6;
    }
    from = found + 1;
  }
}

Bytes nodeBytes(const Bytes& bytes, const std::wstring& key) {
  const size_t start = nodeStart(bytes, key);
  return Bytes(bytes.begin() + start, bytes.begin() + start + wordAt(bytes, start));
}

// One node laid out as the resource compiler does it; children are given as finished nodes.
// Some producers count the final padding in wLength too (padTail).
Bytes makeNode(const std::wstring& key, uint16_t type, uint16_t valueLength, const Bytes& value,
               const std::vector<Bytes>& children, bool padTail = false) {
  Bytes out(6);
  const Bytes keyBytes = utf16le(key, true);
  out.insert(out.end(), keyBytes.begin(), keyBytes.end());
  if (!value.empty() || !children.empty()) {
    out.resize(alignUp(out.size()));
  }
  out.insert(out.end(), value.begin(), value.end());
  for (const Bytes& child : children) {
    out.resize(alignUp(out.size()));
    out.insert(out.end(), child.begin(), child.end());
  }
  if (padTail) {
    out.resize(alignUp(out.size()));
  }
  putWord(out, 0, static_cast<uint16_t>(out.size()));
  putWord(out, 2, valueLength);
  putWord(out, 4, type);
  return out;
}

Bytes makeString(const std::wstring& key, const std::wstring& value, bool padTail = false) {
  return makeNode(key, 1, static_cast<uint16_t>(value.size() + 1), utf16le(value, true), {},
                  padTail);
}

Bytes makeRoot(const std::vector<Bytes>& children) {
  Bytes fixedInfo(fixedInfoSize, 0);
  putWord(fixedInfo, 0, 0x04bd);
  putWord(fixedInfo, 2, 0xfeef);
  return makeNode(L"VS_VERSION_INFO", 0, fixedInfoSize, fixedInfo, children);
}

void expectRealStringsExcept(const VersionBlock& block, const std::wstring& changed) {
  for (const auto& [name, value] : realStrings) {
    if (name != changed) {
      EXPECT_EQ(block.getString(table, name), value) << testing::PrintToString(name);
    }
  }
}

TEST(VersionBlockTest, UntouchedBlockRoundTripsByteForByte) {
  auto block = parseBytes(realBlock);
  ASSERT_TRUE(block);
  EXPECT_EQ(block->serialize(), realBlock);
}

TEST(VersionBlockTest, BytesBeyondTheRootLengthAreIgnored) {
  // GetFileVersionInfoW hands over more than the block: a work area follows it.
  Bytes buffer = realBlock;
  buffer.resize(8000, 0xCD);
  auto block = parseBytes(buffer);
  ASSERT_TRUE(block);
  EXPECT_EQ(block->serialize(), realBlock);
}

TEST(VersionBlockTest, ReadsStringsAndTranslation) {
  auto block = parseBytes(realBlock);
  ASSERT_TRUE(block);
  expectRealStringsExcept(*block, L"");
  EXPECT_EQ(block->getString(L"040904E4", L"ProductName"), L"Pondrel");
  EXPECT_EQ(block->getString(table, L"LegalCopyright"), std::nullopt);
  EXPECT_EQ(block->getString(L"040704b0", L"ProductName"), std::nullopt);
  EXPECT_EQ(block->firstTranslation(), std::make_pair(uint16_t{0x409}, uint16_t{1252}));
}

struct ChangeCase {
  const char* label;
  std::wstring name;
  std::wstring value;
  // Expected lengths, worked out by hand from the layout rules.
  size_t rootLength;
  uint16_t stringFileInfoLength;
  uint16_t stringTableLength;
};

class VersionBlockChangeTest : public testing::TestWithParam<ChangeCase> {};

TEST_P(VersionBlockChangeTest, RelaysTheBlockAroundTheNewValue) {
  const ChangeCase& change = GetParam();
  auto block = parseBytes(realBlock);
  ASSERT_TRUE(block);
  ASSERT_TRUE(block->setString(table, change.name, change.value));
  const Bytes out = block->serialize();

  ASSERT_EQ(out.size(), change.rootLength);
  EXPECT_EQ(wordAt(out, 0), change.rootLength);
  EXPECT_EQ(wordAt(out, stringFileInfoAt), change.stringFileInfoLength);
  EXPECT_EQ(wordAt(out, stringTableAt), change.stringTableLength);

  // The changed string: terminated value right after the key's padding, lengths to match.
  const size_t start = nodeStart(out, change.name);
  const size_t valueStart = alignUp(start + 6 + 2 * (change.name.size() + 1));
  const Bytes value = utf16le(change.value, true);
  EXPECT_EQ(wordAt(out, start + 2), change.value.size() + 1) << "wValueLength";
  EXPECT_EQ(wordAt(out, start), valueStart - start + value.size()) << "wLength";
  EXPECT_TRUE(std::equal(value.begin(), value.end(), out.begin() + valueStart));

  // Everything else is carried over unchanged.
  for (const auto& other : realStrings) {
    if (other.first != change.name) {
      EXPECT_EQ(nodeBytes(out, other.first), nodeBytes(realBlock, other.first))
          << testing::PrintToString(other.first);
    }
  }
  EXPECT_TRUE(std::equal(realBlock.begin() + fixedInfoAt,
                         realBlock.begin() + fixedInfoAt + fixedInfoSize,
                         out.begin() + fixedInfoAt));
  EXPECT_TRUE(
      std::equal(realBlock.end() - varFileInfoSize, realBlock.end(), out.end() - varFileInfoSize));

  auto reread = parseBytes(out);
  ASSERT_TRUE(reread);
  EXPECT_EQ(reread->getString(table, change.name), change.value);
  expectRealStringsExcept(*reread, change.name);
  EXPECT_EQ(reread->firstTranslation(), std::make_pair(uint16_t{0x409}, uint16_t{1252}));
  EXPECT_EQ(reread->serialize(), out);
}

const std::wstring longStem(100, L'x');

INSTANTIATE_TEST_SUITE_P(
    Values, VersionBlockChangeTest,
    testing::Values(
        ChangeCase{"LongStemGrowsTheBlock", L"OriginalFilename", longStem, 764, 0x25c, 0x238},
        ChangeCase{"LongerProductName", L"ProductName", L"Kelm:Quorda", 592, 0x1b0, 0x18c},
        ChangeCase{"LastStringEndsAligned", L"ProductVersion", L"1.2.3", 588, 0x1ac, 0x188},
        // The table then ends two bytes short of a boundary; VarFileInfo must move past it.
        ChangeCase{"LastStringEndsUnaligned", L"ProductVersion", L"1.2.30", 592, 0x1ae, 0x18a},
        ChangeCase{"ShorterValueShrinksTheBlock", L"FileDescription", L"P", 560, 0x190, 0x16c},
        ChangeCase{"EmptyValue", L"CompanyName", L"", 576, 0x1a0, 0x17c},
        ChangeCase{"CyrillicValue", L"FileDescription",
                   L"\u0423\u0441\u0442\u0430\u043d\u043e\u0432\u043a\u0430 Pondrel", 592, 0x1b0,
                   0x18c}),
    [](const testing::TestParamInfo<ChangeCase>& info) { return std::string(info.param.label); });

// What a producer of either length convention writes for a given description. The strings
// around it ("Kelm", "1.23") end off a 32-bit boundary, so the two conventions differ there.
Bytes producedBlock(bool padTail, const std::wstring& description) {
  const Bytes strings = makeNode(L"040904e4", 1, 0, {},
                                 {makeString(L"CompanyName", L"Kelm", padTail),
                                  makeString(L"FileDescription", description, padTail),
                                  makeString(L"ProductVersion", L"1.23", padTail)},
                                 padTail);
  const Bytes translation = makeNode(L"Translation", 0, 4, {0x09, 0x04, 0xe4, 0x04}, {}, padTail);
  return makeRoot({makeNode(L"StringFileInfo", 1, 0, {}, {strings}, padTail),
                   makeNode(L"VarFileInfo", 1, 0, {}, {translation}, padTail)});
}

TEST(VersionBlockTest, ChangedBlockIsWhatItsProducerWouldHaveWritten) {
  const std::vector<std::wstring> descriptions = {L"P", L"ab", L"abc", L"Pondrel setup", longStem};
  for (bool padTail : {false, true}) {
    for (const std::wstring& description : descriptions) {
      auto block = parseBytes(producedBlock(padTail, L"Pondrel"));
      ASSERT_TRUE(block);
      ASSERT_TRUE(block->setString(table, L"FileDescription", description));
      EXPECT_EQ(block->serialize(), producedBlock(padTail, description))
          << "padTail " << padTail << ", " << testing::PrintToString(description);
    }
  }
}

TEST(VersionBlockTest, SuccessiveChangesAllLand) {
  auto block = parseBytes(realBlock);
  ASSERT_TRUE(block);
  ASSERT_TRUE(block->setString(table, L"OriginalFilename", longStem));
  ASSERT_TRUE(block->setString(table, L"FileDescription", longStem));
  ASSERT_TRUE(block->setString(L"040904E4", L"ProductName", L"Kelm:Quorda"));
  const Bytes out = block->serialize();
  // Each string's new size rounded up to 32 bits, less its old one: 100 characters take
  // 40 + 202 -> 244 bytes (was 64 and 68), "Kelm:Quorda" 56 (was 48).
  EXPECT_EQ(out.size(), 584u + 180 + 176 + 8);

  auto reread = parseBytes(out);
  ASSERT_TRUE(reread);
  EXPECT_EQ(reread->getString(table, L"OriginalFilename"), longStem);
  EXPECT_EQ(reread->getString(table, L"FileDescription"), longStem);
  EXPECT_EQ(reread->getString(table, L"ProductName"), L"Kelm:Quorda");
  EXPECT_EQ(reread->getString(table, L"CompanyName"), L"Kelm");
  EXPECT_EQ(reread->getString(table, L"ProductVersion"), L"1.2");
  EXPECT_EQ(reread->firstTranslation(), std::make_pair(uint16_t{0x409}, uint16_t{1252}));
}

TEST(VersionBlockTest, CharacterOutsideTheBasicPlaneIsStoredAsSurrogatePair) {
  auto block = parseBytes(realBlock);
  ASSERT_TRUE(block);
  const std::wstring value = L"\U0001F600x";
  ASSERT_TRUE(block->setString(table, L"ProductName", value));
  const Bytes out = block->serialize();
  const size_t start = nodeStart(out, L"ProductName");
  EXPECT_EQ(wordAt(out, start + 2), 4) << "a surrogate pair, 'x' and the terminator";
  const Bytes expected = {0x3d, 0xd8, 0x00, 0xde, 'x', 0, 0, 0};
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin() + start + 32));
  auto reread = parseBytes(out);
  ASSERT_TRUE(reread);
  EXPECT_EQ(reread->getString(table, L"ProductName"), value);
}

TEST(VersionBlockTest, RefusedChangeLeavesTheBlockAsItWas) {
  struct Refused {
    const char* label;
    std::wstring tableKey;
    std::wstring name;
    std::wstring value;
  };
  const std::vector<Refused> cases = {
      {"missing table", L"040704b0", L"ProductName", L"Kelm:Quorda"},
      {"missing string", table, L"LegalCopyright", L"Kelm:Quorda"},
      {"table name as string", table, table, L"x"},
      {"zero inside the value", table, L"ProductName", std::wstring(L"Kelm\0Quorda", 11)},
      // 32486 characters would make the root 65536 bytes long.
      {"block over 64 KiB", table, L"OriginalFilename", std::wstring(32486, L'x')},
  };
  for (const Refused& refused : cases) {
    auto block = parseBytes(realBlock);
    ASSERT_TRUE(block);
    EXPECT_FALSE(block->setString(refused.tableKey, refused.name, refused.value)) << refused.label;
    EXPECT_EQ(block->serialize(), realBlock) << refused.label;
  }
}

TEST(VersionBlockTest, LargestValueThatFitsIsAccepted) {
  auto block = parseBytes(realBlock);
  ASSERT_TRUE(block);
  ASSERT_TRUE(block->setString(table, L"OriginalFilename", std::wstring(32485, L'x')));
  const Bytes out = block->serialize();
  EXPECT_EQ(out.size(), 65532u);
  auto reread = parseBytes(out);
  ASSERT_TRUE(reread);
  EXPECT_EQ(reread->getString(table, L"OriginalFilename")->size(), 32485u);
  EXPECT_EQ(reread->getString(table, L"ProductVersion"), L"1.2");
}

TEST(VersionBlockTest, OtherTablesAndUnknownBlocksAreKept) {
  const Bytes german =
      makeNode(L"040704b0", 1, 0, {},
               {makeString(L"ProductName", L"Pondrel"), makeString(L"Comments", L"ab")});
  const Bytes english = makeNode(L"040904E4", 1, 0, {}, {makeString(L"ProductName", L"Pondrel")});
  const Bytes unknown = makeNode(L"Extra", 0, 3, {1, 2, 3}, {});
  const Bytes translations =
      makeNode(L"Translation", 0, 8, {0x07, 0x04, 0xb0, 0x04, 0x09, 0x04, 0xe4, 0x04}, {});
  const Bytes built = makeRoot({makeNode(L"StringFileInfo", 1, 0, {}, {german, english}), unknown,
                                makeNode(L"VarFileInfo", 1, 0, {}, {translations})});

  auto block = parseBytes(built);
  ASSERT_TRUE(block);
  EXPECT_EQ(block->serialize(), built);
  EXPECT_EQ(block->firstTranslation(), std::make_pair(uint16_t{0x407}, uint16_t{1200}));
  ASSERT_TRUE(block->setString(L"040904e4", L"productname", L"Kelm:Quorda"));
  const Bytes out = block->serialize();
  EXPECT_EQ(nodeBytes(out, L"040704b0"), german);
  EXPECT_EQ(nodeBytes(out, L"Extra"), unknown);
  EXPECT_EQ(nodeBytes(out, L"Translation"), translations);

  auto reread = parseBytes(out);
  ASSERT_TRUE(reread);
  EXPECT_EQ(reread->getString(L"040904e4", L"ProductName"), L"Kelm:Quorda");
  EXPECT_EQ(reread->getString(L"040704b0", L"ProductName"), L"Pondrel");
  EXPECT_EQ(reread->getString(L"040704b0", L"Comments"), L"ab");
}

TEST(VersionBlockTest, NoTranslationWithoutACompleteEntry) {
  const Bytes built = makeRoot({makeNode(
      L"StringFileInfo", 1, 0, {}, {makeNode(L"040904e4", 1, 0, {}, {makeString(L"A", L"b")})})});
  auto block = parseBytes(built);
  ASSERT_TRUE(block);
  EXPECT_EQ(block->firstTranslation(), std::nullopt);
  EXPECT_EQ(block->getString(L"040904e4", L"A"), L"b");

  // A translation entry too short to hold a language and a code page.
  const Bytes halfPair = makeRoot(
      {makeNode(L"VarFileInfo", 1, 0, {}, {makeNode(L"Translation", 0, 2, {0x09, 0x04}, {})})});
  auto shortTranslation = parseBytes(halfPair);
  ASSERT_TRUE(shortTranslation);
  EXPECT_EQ(shortTranslation->firstTranslation(), std::nullopt);
}

TEST(VersionBlockTest, MalformedBlocksAreRejected) {
  struct Damage {
    const char* label;
    size_t at;
    uint16_t word;
  };
  const std::vector<Damage> damages = {
      {"root longer than the buffer", 0, 0x249},
      {"root shorter than a header", 0, 4},
      {"root key not VS_VERSION_INFO", 6, 'W'},
      {"fixed info past the root", 2, 0x300},
      {"zero-length string", 0x98, 0},
      {"string runs past its table", 0x98, 0x184},
      {"table runs past StringFileInfo", stringTableAt, 0x1a8},
      {"StringFileInfo runs past the root", stringFileInfoAt, 0x248},
      {"translation runs past VarFileInfo", translationAt, 0x26},
  };
  for (const Damage& damage : damages) {
    Bytes bytes = realBlock;
    putWord(bytes, damage.at, damage.word);
    EXPECT_FALSE(parseBytes(bytes)) << damage.label;
  }
  EXPECT_FALSE(VersionBlock::parse(nullptr, 0));
  EXPECT_FALSE(VersionBlock::parse(realBlock.data(), 0));

  // A key that runs to the end of its node without a terminator.
  Bytes unterminated =
      makeRoot({makeNode(L"VarFileInfo", 1, 0, {}, {makeNode(L"Translation", 0, 0, {}, {})})});
  const size_t var = nodeStart(unterminated, L"Translation");
  putWord(unterminated, var, 6 + 2 * 11);
  unterminated.resize(var + 6 + 2 * 11);
  putWord(unterminated, 0, static_cast<uint16_t>(unterminated.size()));
  putWord(unterminated, nodeStart(unterminated, L"VarFileInfo"),
          static_cast<uint16_t>(unterminated.size() - nodeStart(unterminated, L"VarFileInfo")));
  EXPECT_FALSE(parseBytes(unterminated));
}

TEST(VersionBlockTest, EveryTruncatedBufferIsRejected) {
  for (size_t size = 0; size < realBlock.size(); ++size) {
    const Bytes cut(realBlock.begin(), realBlock.begin() + size);  // exactly `size` bytes
    EXPECT_FALSE(parseBytes(cut)) << "size " << size;
  }
}

// Cuts the block at every offset and shortens every node that spans the cut so the lengths
// agree with the bytes: the parser then meets keys, values and children cut anywhere.
TEST(VersionBlockTest, BlockCutAtEveryOffsetIsRejectedOrKeptExactly) {
  size_t accepted = 0;
  for (size_t size = 0; size <= realBlock.size(); ++size) {
    Bytes cut(realBlock.begin(), realBlock.begin() + size);
    bool mustReject = size < fixedInfoAt + fixedInfoSize;  // root header, key or fixed info
    for (size_t start : realNodeStarts) {
      if (start < size && start + wordAt(realBlock, start) > size) {
        if (size - start >= 2) {  // else not even the length word is left
          putWord(cut, start, static_cast<uint16_t>(size - start));
        }
        size_t keyEnd = start + 6;
        while (wordAt(realBlock, keyEnd) != 0) {
          keyEnd += 2;
        }
        mustReject = mustReject || size < keyEnd + 2;  // cut inside a header or key
      }
    }
    auto block = parseBytes(cut);
    if (mustReject) {
      EXPECT_FALSE(block) << "size " << size;
    }
    if (block) {
      ++accepted;
      EXPECT_EQ(block->serialize(), cut) << "size " << size;
      for (const auto& entry : realStrings) {
        const auto value = block->getString(table, entry.first);
        EXPECT_TRUE(!value || entry.second.compare(0, value->size(), *value) == 0)
            << "size " << size;
      }
    }
  }
  // Cuts at node boundaries and inside string values give valid, smaller blocks.
  EXPECT_GT(accepted, 10u);
}

}  // namespace
