#include "output_name.h"

#include <string_view>

#include "text.h"

namespace {

bool isDeviceName(std::wstring_view component) {
  std::wstring_view base = component.substr(0, component.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
  for (const wchar_t* device : {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"}) {
    if (equalsIgnoringCase(base, device)) return true;
  }
  if (base.size() != 4) return false;
  const std::wstring_view stem = base.substr(0, 3);
  const wchar_t number = base[3];
  // The system also takes "¹", "²" and "³" for device numbers.
  const bool digit = (number >= L'0' && number <= L'9') || number == L'\u00B9' || number == L'\u00B2' ||
                     number == L'\u00B3';
  return digit && (equalsIgnoringCase(stem, L"com") || equalsIgnoringCase(stem, L"lpt"));
}

bool isPlainComponent(std::wstring_view component) {
  if (component.empty() || component == L"." || component == L".." || component.back() == L'.' ||
      component.back() == L' ') {
    return false;
  }
  for (const wchar_t c : component) {
    if (c < 32 || std::wstring_view(L"<>:\"|?*").find(c) != std::wstring_view::npos) return false;
  }
  return !isDeviceName(component);
}

}  // namespace

bool isPlainFileName(const std::wstring& name) {
  std::wstring_view rest(name);
  for (;;) {
    const size_t separator = rest.find_first_of(L"\\/");
    if (!isPlainComponent(rest.substr(0, separator))) return false;
    if (separator == std::wstring_view::npos) return true;
    rest.remove_prefix(separator + 1);
  }
}
