#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <optional>

#include "config/config_file.h"
#include "handles.h"
#include "test_files.h"

void PrintTo(const ConfigEntry& entry, std::ostream* out) {
  *out << testing::PrintToString(entry.key) << " -> " << testing::PrintToString(entry.values);
}

namespace {

using namespace std::string_literals;

const std::string kMark16 = "\xFF\xFE";
const std::wstring kBases = L"\u0411\u0430\u0437\u044b";  // "Базы"
const std::wstring kHello = L"\u041f\u0440\u0438\u0432\u0435\u0442";  // "Привет"

// Rows that hold ANSI bytes name the code page they are written for; 0 fits any.
bool runsHere(unsigned codePage) { return codePage == 0 || codePage == GetACP(); }

TEST(ConfigAnsi, RunsUnderTheExpectedCodePage) {
  const char* expected = std::getenv("PONDREL_EXPECT_ACP");
  if (!expected) GTEST_SKIP() << "run with PONDREL_EXPECT_ACP set to the system's ANSI code page";
  EXPECT_EQ(GetACP(), static_cast<UINT>(std::atoi(expected)));
}

TEST(ConfigList, AddFindAndSetFoldOnlyAsciiCase) {
  ConfigList list;
  EXPECT_TRUE(addConfigValue(list, L"K", L"v"));
  EXPECT_FALSE(addConfigValue(list, L"k", L"V"));  // the same pair ignoring case
  EXPECT_TRUE(addConfigValue(list, L"k", L"w"));
  EXPECT_TRUE(addConfigValue(list, L"\u00c4", L"1"));
  EXPECT_TRUE(addConfigValue(list, L"\u00e4", L"2"));  // not ASCII: another key
  EXPECT_EQ(list, (ConfigList{{L"K", {L"v", L"w"}}, {L"\u00c4", {L"1"}}, {L"\u00e4", {L"2"}}}));

  ASSERT_NE(findConfigValues(list, L"K"), nullptr);
  EXPECT_EQ(*findConfigValues(list, L"k"), (std::vector<std::wstring>{L"v", L"w"}));
  EXPECT_EQ(findConfigValues(list, L"K "), nullptr);

  setConfigValues(list, L"K", {L"x"});
  setConfigValues(list, L"New", {L"a", L"b"});
  EXPECT_EQ(list, (ConfigList{{L"K", {L"x"}}, {L"\u00c4", {L"1"}}, {L"\u00e4", {L"2"}}, {L"New", {L"a", L"b"}}}));
}

TEST(ConfigRead, LineFormat) {
  const struct {
    const char* name;
    std::string bytes;
    ConfigList expected;
  } cases[] = {
      {"second equals sign belongs to the value", "A=B=C\n", {{L"A", {L"B=C"}}}},
      {"no equals sign", "Flag\n", {{L"Flag", {L""}}}},
      {"empty key", "=x\n==\n=\n", {{L"", {L"x", L"="}}}},
      {"spaces are kept", " Key = value \n", {{L" Key ", {L" value "}}}},
      {"empty lines are ignored", "\n\r\n\nK=v\n\n", {{L"K", {L"v"}}}},
      {"same pair ignoring case", "K=v\nk=V\nK=w\n", {{L"K", {L"v", L"w"}}}},
      {"CR LF", "a=1\r\nb=2\r\n", {{L"a", {L"1"}}, {L"b", {L"2"}}}},
      {"LF without a last line end", "a=1\nb=2", {{L"a", {L"1"}}, {L"b", {L"2"}}}},
      {"CR not before LF is text", "a=1\r\r\nb\r=2\rx\nc=3\r", {{L"a", {L"1\r"}}, {L"b\r", {L"2\rx"}}, {L"c", {L"3\r"}}}},
      {"NUL and 0x1A are text", std::string("k=a\0b\x1A" "c\nz=1", 11), {{L"k", {std::wstring(L"a\0b\x1A" L"c", 5)}}, {L"z", {L"1"}}}},
      {"a megabyte line", "k=" + std::string(1 << 20, 'x') + "\n", {{L"k", {std::wstring(1 << 20, L'x')}}}},
  };
  TestFolder folder;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(folder / L"t.cfg", c.bytes);
    ConfigList list;
    readConfigFile(folder / L"t.cfg", list);
    EXPECT_EQ(list, c.expected);
  }
}

TEST(ConfigRead, EncodingByFirstBytes) {
  const struct {
    const char* name;
    unsigned codePage;
    std::string bytes;
    ConfigList expected;
  } cases[] = {
      {"UTF-8 mark", 0, "\xEF\xBB\xBF\xD0\x91\xD0\xB0\xD0\xB7\xD1\x8B=1\n", {{kBases, {L"1"}}}},
      {"UTF-16LE mark", 0, kMark16 + utf16le(kBases + L"=" + kHello + L"\r\n"), {{kBases, {kHello}}}},
      {"odd UTF-16 length drops the last byte", 0, kMark16 + utf16le(L"k=v") + "A", {{L"k", {L"v"}}}},
      {"unpaired surrogates are kept", 0, kMark16 + utf16le(L"k=\xD800x\xDC00"), {{L"k", {L"\xD800x\xDC00"}}}},
      {"marks alone", 0, "\xEF\xBB\xBF", {}},
      {"UTF-16 mark alone", 0, kMark16, {}},
      {"empty file", 0, "", {}},
      {"half a mark is ANSI", 1252, "\xEF\xBB=\xFF", {{L"\u00ef\u00bb", {L"\u00ff"}}}},
      {"ANSI 1252", 1252, "Caf\xE9=\x80\r\n", {{L"Caf\u00e9", {L"\u20ac"}}}},
      {"ANSI 1251", 1251, "\xC1\xE0\xE7\xFB=\xCF\xF0\xE8\xE2\xE5\xF2\r\n", {{kBases, {kHello}}}},
  };
  TestFolder folder;
  for (const auto& c : cases) {
    if (!runsHere(c.codePage)) continue;
    SCOPED_TRACE(c.name);
    writeFile(folder / L"t.cfg", c.bytes);
    ConfigList list;
    EXPECT_EQ(tryReadConfigFile(folder / L"t.cfg", list), ConfigRead::read);
    EXPECT_EQ(list, c.expected);
  }
}

TEST(ConfigRead, MissingAndUnreadableFilesLeaveTheListAlone) {
  TestFolder folder;
  writeFile(folder / L"big-endian.cfg", "\xFE\xFF\0k\0=\0v"s);
  writeFile(folder / L"not-utf-8.cfg", "\xEF\xBB\xBFk=\xFF|\xC3(");
  writeFile(folder / L"locked.cfg", "k=v\n");
  ASSERT_TRUE(CreateDirectoryW((folder / L"folder.cfg").c_str(), nullptr));
  // Held without read sharing, as a program that locks its file does.
  UniqueFile lock(CreateFileW((folder / L"locked.cfg").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(lock.valid());
  const struct {
    std::wstring name;
    ConfigRead expected;
  } cases[] = {
      {L"missing.cfg", ConfigRead::missing},
      {L"no-folder\\t.cfg", ConfigRead::missing},
      {L"big-endian.cfg", ConfigRead::unreadable},
      {L"not-utf-8.cfg", ConfigRead::unreadable},
      {L"locked.cfg", ConfigRead::unreadable},
      {L"folder.cfg", ConfigRead::unreadable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.name));
    const ConfigList before{{L"Kept", {L"1"}}};
    ConfigList list = before;
    EXPECT_EQ(tryReadConfigFile(folder / c.name, list), c.expected);
    EXPECT_EQ(list, before);
    EXPECT_EQ([&] {
      try {
        readConfigFile(folder / c.name, list);
      } catch (int code) {
        return code;
      }
      return 0;
    }(), kConfigCannotRead);
  }
}

TEST(ConfigRead, AddsToTheEntriesAlreadyInTheList) {
  TestFolder folder;
  writeFile(folder / L"t.cfg", "k=V\nk=w\nnew=1\n");
  ConfigList list{{L"K", {L"v"}}};
  readConfigFile(folder / L"t.cfg", list);
  EXPECT_EQ(list, (ConfigList{{L"K", {L"v", L"w"}}, {L"new", {L"1"}}}));
}

TEST(ConfigWrite, BytesOnDisk) {
  const ConfigList plain{{L"K", {L"v"}}};
  const struct {
    const char* name;
    unsigned codePage;
    std::optional<std::string> existing;
    ConfigList list;
    std::string expected;
  } cases[] = {
      {"new file: UTF-16LE with mark", 0, std::nullopt, plain, kMark16 + utf16le(L"K=v\r\n")},
      {"ANSI stays ANSI", 0, "old=1\n", plain, "K=v\r\n"},
      {"empty file counts as ANSI", 0, "", plain, "K=v\r\n"},
      {"UTF-8 mark becomes UTF-16LE", 0, "\xEF\xBB\xBFold=1\n", plain, kMark16 + utf16le(L"K=v\r\n")},
      {"UTF-16LE stays", 0, kMark16 + utf16le(L"old=1"), plain, kMark16 + utf16le(L"K=v\r\n")},
      {"FE FF file is written as UTF-16LE", 0, "\xFE\xFF", plain, kMark16 + utf16le(L"K=v\r\n")},
      {"one line per value, % unchanged", 0, "", {{L"%s%n", {L"100%", L"%d"}}, {L"B", {L"2"}}},
       "%s%n=100%\r\n%s%n=%d\r\nB=2\r\n"},
      {"empty value, empty key, spaces", 0, "", {{L"Flag", {L""}}, {L"", {L"x"}}, {L" K ", {L" v "}}},
       "Flag=\r\n=x\r\n K = v \r\n"},
      {"empty list, new file", 0, std::nullopt, {}, kMark16},
      {"empty list, ANSI file", 0, "x", {}, ""},
      {"Cyrillic through UTF-16", 0, std::nullopt, {{kBases, {kHello}}},
       kMark16 + "\x11\x04\x30\x04\x37\x04\x4b\x04=\0\x1f\x04\x40\x04\x38\x04\x32\x04\x35\x04\x42\x04\r\0\n\0"s},
      {"Cyrillic through 1251", 1251, "old=1\n", {{kBases, {kHello}}}, "\xC1\xE0\xE7\xFB=\xCF\xF0\xE8\xE2\xE5\xF2\r\n"},
      {"Latin through 1252", 1252, "old=1\n", {{L"Caf\u00e9", {L"\u20ac"}}}, "Caf\xE9=\x80\r\n"},
      // ANSI bytes that begin like a mark would read back as other text.
      {"ANSI text like a mark, 1252", 1252, "old=1\n", {{L"\u00ff\u00fe", {L"x"}}}, kMark16 + utf16le(L"\u00ff\u00fe=x\r\n")},
      {"ANSI text like a mark, 1251", 1251, "old=1\n", {{L"\u044e\u044f", {L"x"}}}, kMark16 + utf16le(L"\u044e\u044f=x\r\n")},
  };
  for (const auto& c : cases) {
    if (!runsHere(c.codePage)) continue;
    SCOPED_TRACE(c.name);
    TestFolder folder;
    const std::wstring path = folder / L"Tarnel.cfg";
    if (c.existing) writeFile(path, *c.existing);
    writeConfigFile(path, c.list);
    EXPECT_EQ(readFile(path), c.expected);
    EXPECT_EQ(listFolder(folder.path()), std::vector<std::wstring>{L"Tarnel.cfg"});
    ConfigList back;
    readConfigFile(path, back);
    EXPECT_EQ(back, c.list);
  }
}

TEST(ConfigWrite, FailureLeavesTheOldFileAndNoFreshOne) {
  const ConfigList list{{L"K", {L"new"}}};
  const std::string old = "K=old\n";
  const struct {
    const char* name;
    DWORD share;           // the share mode of a handle held on the file while writing; 0: none held
    DWORD attributes;      // set on the file before writing
    bool asFolder;         // a folder stands where the file would go
  } cases[] = {
      {"held without write or delete sharing", FILE_SHARE_READ, 0, false},
      {"read-only file", 0, FILE_ATTRIBUTE_READONLY, false},
      {"a folder in the way", 0, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestFolder folder;
    const std::wstring path = folder / L"Tarnel.cfg";
    if (c.asFolder) {
      ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    } else {
      writeFile(path, old);
    }
    if (c.attributes) {
      ASSERT_TRUE(SetFileAttributesW(path.c_str(), c.attributes));
    }
    UniqueFile held;
    if (c.share) held.reset(CreateFileW(path.c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING, 0, nullptr));
    int code = 0;
    try {
      writeConfigFile(path, list);
    } catch (int raised) {
      code = raised;
    }
    held.reset();
    EXPECT_EQ(code, kConfigCannotOpenForWrite);
    if (!c.asFolder) {
      EXPECT_EQ(readFile(path), old);
    }
    EXPECT_EQ(listFolder(folder.path()), std::vector<std::wstring>{L"Tarnel.cfg"});
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  }

  TestFolder folder;
  EXPECT_EQ([&] {
    try {
      writeConfigFile(folder / L"missing\\Tarnel.cfg", list);
    } catch (int raised) {
      return raised;
    }
    return 0;
  }(), kConfigCannotOpenForWrite);
  EXPECT_TRUE(listFolder(folder.path()).empty());
}

}  // namespace
