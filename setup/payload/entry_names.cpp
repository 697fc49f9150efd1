#include "payload/entry_names.h"

#include "text.h"

namespace {

bool isDigitOrSuperscript(const std::string& text) {
  // The platform also takes "¹", "²" and "³" (UTF-8 C2 B9, C2 B2, C2 B3) for device numbers.
  if (text.size() == 1) return text[0] >= '0' && text[0] <= '9';
  return text == "\xC2\xB9" || text == "\xC2\xB2" || text == "\xC2\xB3";
}

// CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9 and LPT0-9 name devices whatever extension follows
// them.
bool isDeviceName(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (equalsIgnoringCase(base, device)) return true;
  }
  if (base.size() < 4) return false;
  const std::string stem = base.substr(0, 3);
  return (equalsIgnoringCase(stem, "COM") || equalsIgnoringCase(stem, "LPT")) &&
         isDigitOrSuperscript(base.substr(3));
}

std::string withoutTrailingDotsAndSpaces(std::string component) {
  while (!component.empty() && (component.back() == '.' || component.back() == ' ')) component.pop_back();
  return component;
}

// Splits an entry name at "/" and "\", dropping empty and "." components.
std::vector<std::string> rawComponents(const std::string& name) {
  std::vector<std::string> components;
  std::string current;
  auto take = [&] {
    if (!current.empty() && current != ".") components.push_back(current);
    current.clear();
  };
  for (char c : name) {
    if (isNameSeparator(c)) {
      take();
    } else {
      current += c;
    }
  }
  take();
  return components;
}

}  // namespace

bool isNameSeparator(char c) { return c == '/' || c == '\\'; }

bool isSafeEntryName(const std::string& name) {
  if (name.empty() || isNameSeparator(name[0])) return false;  // rooted, UNC and \\?\ names
  if (name.find(':') != std::string::npos) return false;      // drive letters and data streams
  for (const std::string& component : rawComponents(name)) {
    // A component of dots and spaces alone would vanish or climb a level.
    if (withoutTrailingDotsAndSpaces(component).empty() || isDeviceName(component)) return false;
  }
  return true;
}

std::wstring entryRelativePath(const std::string& name) {
  std::wstring path;
  for (const std::string& component : rawComponents(name)) {
    path += L'\\';
    path += fromUtf8(withoutTrailingDotsAndSpaces(component));
  }
  return path;
}
