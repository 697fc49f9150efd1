// The progress lines outside Windows, in UTF-8: Russian for a Russian locale, else English.
#include <cstdlib>
#include <string_view>

#include "console.h"
#include "resource.h"

std::string progressText(ProgressString id) {
  // The locale's language as the C library looks it up: the first of these that is set.
  const char* locale = nullptr;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    locale = std::getenv(name);
    if (locale && *locale) break;
  }
  const bool russian = locale && std::string_view(locale).substr(0, 2) == "ru";
  switch (id) {
    case kArchiving: return russian ? TEXT_ARCHIVING_RU : TEXT_ARCHIVING_EN;
    case kCreatingSfx: return russian ? TEXT_CREATING_SFX_RU : TEXT_CREATING_SFX_EN;
    case kSucceeded: return russian ? TEXT_SUCCEEDED_RU : TEXT_SUCCEEDED_EN;
  }
  return {};
}
