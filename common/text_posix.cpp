// The conversions of text.h on POSIX systems: UTF-8 by hand, Windows code pages through iconv
// (whose "CP<number>" tables are the Windows ones).
#include <iconv.h>

#include <cerrno>

#include "text.h"

namespace {

constexpr unsigned kUtf8 = 65001;
constexpr wchar_t kReplacement = 0xFFFD;

bool isUtf8(unsigned codePage) { return codePage == 0 || codePage == kUtf8; }

void appendUtf8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes UTF-8; an ill-formed sequence (overlong, surrogate, past U+10FFFF, cut short) gives
// U+FFFD when lenient and ends the decoding with false when strict.
bool decodeUtf8(const std::string& text, std::wstring& out, bool strict) {
  out.clear();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  for (size_t i = 0; i < size;) {
    const unsigned char lead = bytes[i];
    unsigned length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                  : lead >= 0xF0 && lead <= 0xF4      ? 4
                                                                      : 0;
    char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
    bool valid = length != 0 && i + length <= size;
    for (unsigned k = 1; valid && k < length; ++k) {
      valid = (bytes[i + k] & 0xC0) == 0x80;
      c = (c << 6) | (bytes[i + k] & 0x3F);
    }
    if (valid) {
      const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
      valid = c >= least[length] && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
    }
    if (!valid) {
      if (strict) return false;
      out += kReplacement;
      ++i;
      continue;
    }
    out += static_cast<wchar_t>(c);
    i += length;
  }
  return true;
}

class Converter {
 public:
  Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
  ~Converter() {
    if (valid()) iconv_close(handle_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  [[nodiscard]] bool valid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
  // Converts what is left of the input; stops at a character it cannot convert (false, errno
  // EILSEQ) or one cut short (EINVAL).
  bool convert(char*& in, size_t& inLeft, std::string& out) {
    char buffer[256];
    for (;;) {
      char* next = buffer;
      size_t room = sizeof buffer;
      const size_t result = iconv(handle_, &in, &inLeft, &next, &room);
      out.append(buffer, static_cast<size_t>(next - buffer));
      if (result != static_cast<size_t>(-1)) return true;
      if (errno != E2BIG) return false;
    }
  }

 private:
  iconv_t handle_;
};

std::string codePageName(unsigned codePage) { return "CP" + std::to_string(codePage); }

}  // namespace

std::string toNarrow(const std::wstring& text, unsigned codePage) {
  if (text.empty()) return {};
  std::string out;
  if (isUtf8(codePage)) {
    for (const wchar_t c : text) appendUtf8(out, static_cast<char32_t>(c));
    return out;
  }
  Converter converter(codePageName(codePage).c_str(), "WCHAR_T");
  if (!converter.valid()) return {};
  char* in = reinterpret_cast<char*>(const_cast<wchar_t*>(text.data()));
  size_t left = text.size() * sizeof(wchar_t);
  while (!converter.convert(in, left, out)) {
    if (errno != EILSEQ) return {};
    out += '?';
    in += sizeof(wchar_t);
    left -= sizeof(wchar_t);
  }
  return out;
}

std::wstring toWide(const std::string& text, unsigned codePage) {
  std::wstring wide;
  if (text.empty()) return wide;
  if (isUtf8(codePage)) {
    decodeUtf8(text, wide, false);
    return wide;
  }
  Converter converter("WCHAR_T", codePageName(codePage).c_str());
  if (!converter.valid()) return {};
  char* in = const_cast<char*>(text.data());
  size_t left = text.size();
  std::string bytes;
  if (!converter.convert(in, left, bytes)) return {};
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

std::string toUtf8(const std::wstring& text) { return toNarrow(text, kUtf8); }

std::wstring fromUtf8(const std::string& text) { return toWide(text, kUtf8); }

std::wstring fromStrictUtf8(const std::string& text) {
  std::wstring wide;
  return decodeUtf8(text, wide, true) ? wide : std::wstring();
}

bool isKnownCodePage(unsigned codePage) {
  return isUtf8(codePage) || Converter(codePageName(codePage).c_str(), "WCHAR_T").valid();
}

unsigned defaultNameCodePage() { return 1252; }
