#include "common/utf8.h"

#include <cstdint>

namespace brennow {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

bool isSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

void appendCodePoint(std::string &out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void appendWide(std::wstring &out, char32_t c) {
  if (kWideIsUtf16 && c >= 0x10000) {
    c -= 0x10000;
    out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out.push_back(static_cast<wchar_t>(c));
  }
}

// One code point starting at bytes[i]; i moves past it.
char32_t decodeOne(std::string_view bytes, std::size_t &i) {
  const auto lead = static_cast<std::uint8_t>(bytes[i++]);
  if (lead < 0x80)
    return lead;
  int length = 0;
  char32_t c = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 1;
    c = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 2;
    c = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 3;
    c = lead & 0x07;
  } else {
    return kReplacement;
  }
  for (int k = 0; k < length; ++k) {
    if (i >= bytes.size() || (static_cast<std::uint8_t>(bytes[i]) & 0xC0) != 0x80)
      return kReplacement;
    c = (c << 6) | (static_cast<std::uint8_t>(bytes[i++]) & 0x3F);
  }
  constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (c < kSmallest[length] || c > 0x10FFFF || isSurrogate(c))
    return kReplacement;
  return c;
}

} // namespace

std::string toUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  appendUtf8(out, text);
  return out;
}

void appendUtf8(std::string &out, std::wstring_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<char32_t>(text[i]);
    if (kWideIsUtf16 && c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[++i]) - 0xDC00);
    } else if (isSurrogate(c) || c > 0x10FFFF) {
      c = kReplacement;
    }
    appendCodePoint(out, c);
  }
}

bool isUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t start = i;
    // A replacement character written out in the text is valid; one made by decoding is not.
    if (decodeOne(bytes, i) == kReplacement && bytes.substr(start, i - start) != "\xEF\xBF\xBD")
      return false;
  }
  return true;
}

std::wstring fromUtf8(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  appendFromUtf8(out, bytes);
  return out;
}

void appendFromUtf8(std::wstring &out, std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();)
    appendWide(out, decodeOne(bytes, i));
}

} // namespace brennow
