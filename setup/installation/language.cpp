#include "installation/language.h"

namespace {

struct LanguageRow {
  WORD primary;
  InstallerLanguage language;
};

constexpr LanguageRow kLanguageTable[] = {
    {0x02, {L"1026", L"BG"}},  // Bulgarian
    {0x07, {L"1031", L"DE"}},  // German
    {0x15, {L"1045", L"PL"}},  // Polish
    {0x18, {L"1048", L"RO"}},  // Romanian
    {0x19, {L"1049", L"RU"}},  // Russian
    {0x1F, {L"1055", L"TR"}},  // Turkish
    {0x22, {L"1058", L"UK"}},  // Ukrainian
    {0x26, {L"1062", L"LV"}},  // Latvian
    {0x27, {L"1063", L"LT"}},  // Lithuanian
    {0x2A, {L"1066", L"VI"}},  // Vietnamese
    {0x37, {L"1033", L"KA"}},  // Georgian
    {0x3F, {L"1049", L"KK"}},  // Kazakh
};
constexpr InstallerLanguage kEveryOtherLanguage{L"1033", L"auto"};

}  // namespace

InstallerLanguage languageFor(LANGID language) {
  const WORD primary = language & 0x3FF;
  for (const LanguageRow& row : kLanguageTable) {
    if (row.primary == primary) return row.language;
  }
  return kEveryOtherLanguage;
}

std::wstring transformFileName(const InstallerLanguage& language, bool xpPackage) {
  return std::wstring(language.transformNumber) + (xpPackage ? L"_xp.mst" : L".mst");
}

std::wstring installerProperties(const InstallerLanguage& language, const std::wstring& transform) {
  return L"LIMITUI=1 " + (transform.empty() ? std::wstring() : L"TRANSFORMS=" + transform) + L" DEFLANGUAGE=" +
         language.code;
}
