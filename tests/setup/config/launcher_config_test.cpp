#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <optional>

#include "config/config_file.h"
#include "config/launcher_config.h"
#include "handles.h"
#include "test_files.h"

namespace {

using namespace std::string_literals;

const std::string kMark16 = "\xFF\xFE";

// Sets APPDATA (null removes it) for the life of the object, then puts the old value back.
class AppDataScope {
 public:
  explicit AppDataScope(const wchar_t* value) {
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetEnvironmentVariableW(L"APPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length > 0 && length < buffer.size()) saved_ = buffer.substr(0, length);
    SetEnvironmentVariableW(L"APPDATA", value);
  }
  ~AppDataScope() { SetEnvironmentVariableW(L"APPDATA", saved_ ? saved_->c_str() : nullptr); }
  AppDataScope(const AppDataScope&) = delete;
  AppDataScope& operator=(const AppDataScope&) = delete;

 private:
  std::optional<std::wstring> saved_;
};

// A user whose APPDATA is a fresh folder, and a distribution folder beside it.
struct Setting {
  TestFolder root;
  std::wstring appData = root / L"AppData";
  AppDataScope scope{appData.c_str()};
  std::wstring userFile = appData + L"\\Kelm\\Tarnel\\Tarnel.cfg";
  std::wstring distribution = root / L"Tarnel.cfg";

  Setting() { CreateDirectoryW(appData.c_str(), nullptr); }
  void giveUserFile(const std::string& bytes) {
    CreateDirectoryW((appData + L"\\Kelm").c_str(), nullptr);
    CreateDirectoryW((appData + L"\\Kelm\\Tarnel").c_str(), nullptr);
    writeFile(userFile, bytes);
  }
};

TEST(LauncherConfig, MergeIntoEachKindOfUserFile) {
  const struct {
    const char* name;
    unsigned codePage;  // 0: any
    std::string user;
    std::string distribution;
    std::string expected;
  } cases[] = {
      {"user's spelling and place kept", 0, "defaultversion=2.4.1\nOther=x\n", "DefaultVersion=2.4.2\n",
       "defaultversion=2.4.2\r\nOther=x\r\n"},
      {"two values replace one", 0, "CommonInfoBases=c\nZ=1\n", "CommonInfoBases=a\nCommonInfoBases=b\n",
       "CommonInfoBases=a\r\nCommonInfoBases=b\r\nZ=1\r\n"},
      {"new keys follow in the distribution's order", 0, "U1=1\nShared=old\nU2=2\n", "New2=b\nshared=new\nNew1=a\n",
       "U1=1\r\nShared=new\r\nU2=2\r\nNew2=b\r\nNew1=a\r\n"},
      {"UTF-8 user file becomes UTF-16LE", 0, "\xEF\xBB\xBF" "A=\xD0\x91\n", "B=2\n",
       kMark16 + utf16le(L"A=\u0411\r\nB=2\r\n")},
      {"UTF-16LE user file stays", 0, kMark16 + utf16le(L"\u0411=1\r\nA=1\r\n"), "\xEF\xBB\xBF" "a=\xD0\x9F\n",
       kMark16 + utf16le(L"\u0411=1\r\nA=\u041f\r\n")},
      {"empty user file is ANSI", 0, "", "A=1\n", "A=1\r\n"},
      {"Cyrillic from UTF-16 into an ANSI file", 1251, "\xC1\xE0\xE7\xFB=1\n", kMark16 + utf16le(L"\u0431\u0430\u0437\u044b=\u041f"),
       "\xC1\xE0\xE7\xFB=1\r\n\xE1\xE0\xE7\xFB=\xCF\r\n"},
      // Characters the code page lacks make the file UTF-16, the user's own text included.
      {"Polish into a 1252 file", 1252, "Caf\xE9=1\n", "\xEF\xBB\xBF" "Dir=C:\\Users\\\xC5\x81ukasz\n",
       kMark16 + utf16le(L"Caf\u00e9=1\r\nDir=C:\\Users\\\u0141ukasz\r\n")},
      {"Cyrillic into a 1252 file", 1252, "A=1\n", kMark16 + utf16le(L"B=\u0411\u0430\u0437\u044b"),
       kMark16 + utf16le(L"A=1\r\nB=\u0411\u0430\u0437\u044b\r\n")},
      {"Polish into a 1251 file", 1251, "\xC1=1\n", kMark16 + utf16le(L"Dir=\u0141ukasz"),
       kMark16 + utf16le(L"\u0411=1\r\nDir=\u0141ukasz\r\n")},
  };
  for (const auto& c : cases) {
    if (c.codePage && c.codePage != GetACP()) continue;
    SCOPED_TRACE(c.name);
    Setting setting;
    setting.giveUserFile(c.user);
    writeFile(setting.distribution, c.distribution);
    EXPECT_TRUE(mergeLauncherConfigFile(setting.distribution).merged());
    EXPECT_EQ(readFile(setting.userFile), c.expected);
    EXPECT_EQ(listFolder(setting.appData + L"\\Kelm\\Tarnel"), std::vector<std::wstring>{L"Tarnel.cfg"});
  }
}

TEST(LauncherConfig, FreshUserGetsBothFoldersAndAUtf16File) {
  Setting setting;
  writeFile(setting.distribution, "DefaultVersion=8.3\r\nCommonInfoBases=\\\\srv\\bases.v8i\r\n");
  // The distribution's file is named relative to the current folder.
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(setting.root.path().c_str()));
  const bool merged = mergeLauncherConfigFile(L"Tarnel.cfg").merged();
  SetCurrentDirectoryW(previous);
  EXPECT_TRUE(merged);
  EXPECT_EQ(readFile(setting.userFile), kMark16 + utf16le(L"DefaultVersion=8.3\r\nCommonInfoBases=\\\\srv\\bases.v8i\r\n"));
}

TEST(LauncherConfig, UserFileStaysWhenItCannotBeReadOrReplaced) {
  const struct {
    const char* name;
    std::string bytes;
    DWORD lockShare;   // a handle held with this share mode while merging; ~0: none
    DWORD attributes;  // set on the user's file before merging
  } cases[] = {
      {"big-endian mark", "\xFE\xFF\0K\0=\0v\0\r\0\n"s, ~0ul, 0},
      {"Latin-1 behind the UTF-8 mark", "\xEF\xBB\xBFK=caf\xE9\r\nOld=\xFC\r\n", ~0ul, 0},
      {"locked by a running launcher", "K=v\n", 0, 0},
      {"readable but held against replacing", "K=v\n", FILE_SHARE_READ, 0},
      {"read-only", "K=v\n", ~0ul, FILE_ATTRIBUTE_READONLY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Setting setting;
    setting.giveUserFile(c.bytes);
    writeFile(setting.distribution, "K=new\n");
    if (c.attributes) {
      ASSERT_TRUE(SetFileAttributesW(setting.userFile.c_str(), c.attributes));
    }
    UniqueFile lock;
    if (c.lockShare != ~0ul) {
      lock.reset(CreateFileW(setting.userFile.c_str(), GENERIC_READ, c.lockShare, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(lock.valid());
    }
    EXPECT_FALSE(mergeLauncherConfigFile(setting.distribution).merged());
    lock.reset();
    EXPECT_EQ(readFile(setting.userFile), c.bytes);
    EXPECT_EQ(listFolder(setting.appData + L"\\Kelm\\Tarnel"), std::vector<std::wstring>{L"Tarnel.cfg"});
    SetFileAttributesW(setting.userFile.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

TEST(LauncherConfig, UnreadableDistributionFileWritesNothing) {
  const struct {
    const char* name;
    std::optional<std::string> distribution;
    std::optional<std::string> user;
  } cases[] = {
      {"missing, fresh user", std::nullopt, std::nullopt},
      {"big-endian mark, fresh user", "\xFE\xFF\0K"s, std::nullopt},
      {"big-endian mark, user's file", "\xFE\xFF\0K"s, "K=v\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Setting setting;
    if (c.distribution) writeFile(setting.distribution, *c.distribution);
    if (c.user) setting.giveUserFile(*c.user);
    EXPECT_FALSE(mergeLauncherConfigFile(setting.distribution).merged());
    if (c.user) {
      EXPECT_EQ(readFile(setting.userFile), *c.user);
    } else {
      EXPECT_TRUE(listFolder(setting.appData).empty());
    }
  }
}

TEST(LauncherConfig, UserPathFallsBackToTheShellFolder) {
  wchar_t shell[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, shell), S_OK);
  const std::wstring fromShell = std::wstring(shell) + L"\\Kelm\\Tarnel\\Tarnel.cfg";
  const std::wstring longest = L"C:\\" + std::wstring(1020, L'a');
  const struct {
    const char* name;
    std::optional<std::wstring> appData;
    std::wstring expected;
  } cases[] = {
      {"set", L"D:\\Roaming", L"D:\\Roaming\\Kelm\\Tarnel\\Tarnel.cfg"},
      {"1023 characters", longest, longest + L"\\Kelm\\Tarnel\\Tarnel.cfg"},
      {"1024 characters", longest + L"b", fromShell},
      {"empty", L"", fromShell},
      {"not set", std::nullopt, fromShell},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AppDataScope scope(c.appData ? c.appData->c_str() : nullptr);
    EXPECT_EQ(userConfigPath(), c.expected);
  }
}

TEST(LauncherConfig, WithoutAppDataNothingLandsAtTheDriveRoot) {
  const std::wstring shellFile = [] {
    AppDataScope scope(nullptr);
    return userConfigPath();
  }();
  const std::wstring shellTarnel = shellFile.substr(0, shellFile.rfind(L'\\'));
  const std::wstring shellKelm = shellTarnel.substr(0, shellTarnel.rfind(L'\\'));
  if (exists(shellKelm)) GTEST_SKIP() << "the user's real launcher folder is there already";
  TestFolder folder;
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(folder.path().c_str()));
  wchar_t root[MAX_PATH];
  GetFullPathNameW(L"\\Kelm", MAX_PATH, root, nullptr);
  ASSERT_FALSE(exists(root));
  writeFile(folder / L"Tarnel.cfg", "A=1\n");
  for (const wchar_t* appData : {static_cast<const wchar_t*>(nullptr), L""}) {
    AppDataScope scope(appData);
    EXPECT_TRUE(mergeLauncherConfigFile(L"Tarnel.cfg").merged());
    EXPECT_FALSE(exists(root));
    EXPECT_EQ(readFile(shellFile), kMark16 + utf16le(L"A=1\r\n"));
    DeleteFileW(shellFile.c_str());
    RemoveDirectoryW(shellTarnel.c_str());
    RemoveDirectoryW(shellKelm.c_str());
  }
  SetCurrentDirectoryW(previous);
}

}  // namespace
