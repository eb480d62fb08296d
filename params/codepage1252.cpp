#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "params/AnsiCodePage.h"

namespace brennow {

namespace {

// Windows-1252 differs from Latin-1 only in 0x80-0x9F. The five bytes it leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the control characters of the same code, as
// Windows converts them.
constexpr std::array<wchar_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 0x80-0x87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, // 0x88-0x8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 0x90-0x97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, // 0x98-0x9F
};
constexpr unsigned kHighFirst = 0x80;
constexpr unsigned kHighEnd = 0xA0;
constexpr char kDefaultChar = '?';

bool isLatin1Identity(wchar_t c) {
  const auto code = static_cast<std::uint32_t>(c);
  return code < kHighFirst || (code >= kHighEnd && code <= 0xFF);
}

// The byte of a character, if Windows-1252 has one.
std::optional<char> byteOf(wchar_t c) {
  if (isLatin1Identity(c))
    return static_cast<char>(c);
  for (unsigned i = 0; i < kHighControls.size(); ++i) {
    if (kHighControls[i] == c)
      return static_cast<char>(kHighFirst + i);
  }
  return std::nullopt;
}

class Windows1252 final : public AnsiCodePage {
public:
  std::string toBytes(std::wstring_view text) const override {
    std::string bytes(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
      bytes[i] = byteOf(text[i]).value_or(kDefaultChar);
    return bytes;
  }

  std::wstring fromBytes(std::string_view bytes) const override {
    std::wstring text(bytes.size(), L'\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const auto code = static_cast<unsigned char>(bytes[i]);
      text[i] = code >= kHighFirst && code < kHighEnd ? kHighControls[code - kHighFirst]
                                                      : static_cast<wchar_t>(code);
    }
    return text;
  }

  bool canRepresent(std::wstring_view text) const override {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return byteOf(c).has_value(); });
  }
};

} // namespace

const AnsiCodePage &windows1252() {
  static const Windows1252 codePage;
  return codePage;
}

} // namespace brennow
