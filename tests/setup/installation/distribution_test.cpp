#include <gtest/gtest.h>

#include <stdexcept>

#include "installation/distribution.h"
#include "file_search.h"
#include "installation/language.h"
#include "installation/msi_library.h"
#include "test_files.h"

namespace {

std::wstring currentFolder() {
  wchar_t folder[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, folder);
  std::wstring text(folder);
  if (text.back() != L'\\') text += L'\\';
  return text;
}

TEST(InstallerLanguage, TransformAndPropertiesByPrimaryLanguage) {
  const struct {
    LANGID language;
    bool xp;
    bool transformPresent;
    const wchar_t* properties;
  } cases[] = {
      {0x0419, false, true, L"LIMITUI=1 TRANSFORMS=1049.mst DEFLANGUAGE=RU"},
      {0x0409, false, true, L"LIMITUI=1 TRANSFORMS=1033.mst DEFLANGUAGE=auto"},
      {0x0809, false, true, L"LIMITUI=1 TRANSFORMS=1033.mst DEFLANGUAGE=auto"},  // English (UK)
      {0x0437, false, true, L"LIMITUI=1 TRANSFORMS=1033.mst DEFLANGUAGE=KA"},
      {0x043F, false, true, L"LIMITUI=1 TRANSFORMS=1049.mst DEFLANGUAGE=KK"},
      {0x0422, false, true, L"LIMITUI=1 TRANSFORMS=1058.mst DEFLANGUAGE=UK"},
      {0x042A, false, true, L"LIMITUI=1 TRANSFORMS=1066.mst DEFLANGUAGE=VI"},
      {0x0C07, false, true, L"LIMITUI=1 TRANSFORMS=1031.mst DEFLANGUAGE=DE"},    // German (Austria)
      {0x040C, false, true, L"LIMITUI=1 TRANSFORMS=1033.mst DEFLANGUAGE=auto"},  // French: not in the table
      {0x0419, true, true, L"LIMITUI=1 TRANSFORMS=1049_xp.mst DEFLANGUAGE=RU"},
      {0x0419, false, false, L"LIMITUI=1  DEFLANGUAGE=RU"},
      {0x0019 | 0xFC00, false, true, L"LIMITUI=1 TRANSFORMS=1049.mst DEFLANGUAGE=RU"},  // only the low 10 bits
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.language << (c.xp ? " xp" : "") << (c.transformPresent ? "" : " no transform"));
    const InstallerLanguage language = languageFor(c.language);
    const std::wstring transform = c.transformPresent ? transformFileName(language, c.xp) : L"";
    EXPECT_EQ(installerProperties(language, transform), c.properties);
  }
}

TEST(Distribution, ManufacturerRuleAndCheckedParts) {
  for (const wchar_t* name : {L"Kelm", L"kelm llc", L"KELM-SOFT", L""}) EXPECT_TRUE(isAcceptedManufacturer(name)) << name;
  for (const wchar_t* name : {L"Kelm Ltd", L"Kelm ", L" Kelm", L"Kelm-Soft Inc", L"KelmLLC", L"Other"}) {
    EXPECT_FALSE(isAcceptedManufacturer(name)) << name;
  }
  for (const wchar_t* name : {L"a.cab", L"SETUP.EXE", L"1049.Mst", L"x.y.exe"}) EXPECT_TRUE(isCheckedExecutablePart(name)) << name;
  for (const wchar_t* name : {L"a.msi", L"cab", L"a.exe.txt", L"a.ex"}) EXPECT_FALSE(isCheckedExecutablePart(name)) << name;
}

TEST(CurrentDirGuard, SwitchesNestsRestoresOnEveryPathAndLeavesABadTargetAlone) {
  TestFolder outer, inner;
  const std::wstring start = currentFolder();
  try {
    const CurrentDirGuard first(outer.path());
    EXPECT_TRUE(first.targetIsCurrent());
    EXPECT_EQ(currentFolder(), outer.path() + L"\\");
    {
      const CurrentDirGuard second(inner.path());
      EXPECT_EQ(currentFolder(), inner.path() + L"\\");
      {
        // The current folder already: nothing changes, nothing to restore.
        const CurrentDirGuard same(inner.path());
        EXPECT_TRUE(same.targetIsCurrent());
      }
      EXPECT_EQ(currentFolder(), inner.path() + L"\\");
      const CurrentDirGuard missing(inner / L"no such folder");
      EXPECT_FALSE(missing.targetIsCurrent());
      EXPECT_EQ(currentFolder(), inner.path() + L"\\");
      throw std::runtime_error("leaving by an error");
    }
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(currentFolder(), start);
}

TEST(FileSearch, NamesPatternsFoldersAndTheListOfSubfolders) {
  TestFolder folder;
  writeFile(folder / L"KelmQuorda.msi", "package");
  writeFile(folder / L"KelmQuorda_xp.msi", "xp package");
  CreateDirectoryW((folder / L"b").c_str(), nullptr);
  CreateDirectoryW((folder / L"a").c_str(), nullptr);
  FileSearch search;
  EXPECT_EQ(search.name(), L"");
  EXPECT_FALSE(search.next());
  EXPECT_TRUE(search.find(folder / L"b"));  // a folder's name counts as found
  EXPECT_EQ(search.name(), L"b");
  EXPECT_TRUE(search.find(folder / kXpPackagePattern));
  EXPECT_EQ(search.name(), L"KelmQuorda_xp.msi");
  EXPECT_FALSE(search.next());
  EXPECT_FALSE(search.find(folder / L"*uorda*.cab"));
  EXPECT_EQ(search.name(), L"");
  EXPECT_EQ(subfolders(folder.path()), (std::vector<std::wstring>{folder / L"a", folder / L"b"}));
  EXPECT_THROW((void)subfolders(folder / L"missing"), std::exception);
}

TEST(MsiLibrary, LoadsFromTheSystemFolderUnloadsAndLoadsAgain) {
  MsiLibrary msi;
  // Nothing bound yet: every call answers for a missing entry point without calling anything.
  MSIHANDLE database = 0;
  EXPECT_EQ(msi.openDatabase(L"x.msi", L"", database), 1u);
  std::wstring text = L"kept";
  EXPECT_EQ(msi.productInfo(L"{00000000-0000-0000-0000-000000000000}", L"InstallLocation", text), 1u);
  EXPECT_EQ(text, L"kept");
  EXPECT_EQ(msi.setInternalUI(INSTALLUILEVEL_BASIC, nullptr), 0);
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(msi.load());
    EXPECT_EQ(msi.productInfo(L"{00000000-0000-0000-0000-000000000000}", L"InstallLocation", text),
              static_cast<UINT>(ERROR_UNKNOWN_PRODUCT));
    EXPECT_EQ(text, L"");
    msi.unload();
    EXPECT_FALSE(msi.loaded());
  }
}

}  // namespace
