// The progress lines on Windows: the builder's string table, in the user's language.
#include <windows.h>

#include "console.h"
#include "system_library.h"
#include "text.h"

std::string progressText(ProgressString id) {
  // Bound at run time, as the builder's other window-manager call: its DLL, imported at link
  // time, would bring its own imports in before the DLL search is restricted.
  static constinit LazySystemEntry<decltype(&LoadStringW)> loadStringEntry(L"user32.dll", "LoadStringW");
  const auto loadString = loadStringEntry.get();
  wchar_t text[100] = {};
  const int length = loadString ? loadString(GetModuleHandleW(nullptr), id, text, 100) : 0;
  return toNarrow(std::wstring(text, length > 0 ? static_cast<size_t>(length) : 0));
}
