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

// The character of every byte.
constexpr std::array<wchar_t, 256> makeCharacterOfByte() {
  std::array<wchar_t, 256> table{};
  for (unsigned code = 0; code < table.size(); ++code)
    table[code] = code >= kHighFirst && code < kHighEnd ? kHighControls[code - kHighFirst]
                                                        : static_cast<wchar_t>(code);
  return table;
}
constexpr auto kCharacterOfByte = makeCharacterOfByte();

// The byte of every character up to the highest one the code page has (U+2122), so that
// a character costs one table read rather than a search; kNoByte where there is none.
constexpr std::int16_t kNoByte = -1;
constexpr std::size_t kCoveredCharacters =
    *std::max_element(kHighControls.begin(), kHighControls.end()) + std::size_t{1};

constexpr std::array<std::int16_t, kCoveredCharacters> makeByteOfCharacter() {
  std::array<std::int16_t, kCoveredCharacters> table{};
  table.fill(kNoByte);
  for (unsigned code = 0; code < kCharacterOfByte.size(); ++code)
    table[static_cast<std::size_t>(kCharacterOfByte[code])] = static_cast<std::int16_t>(code);
  return table;
}
constexpr auto kByteOfCharacter = makeByteOfCharacter();

// The byte of a character, if Windows-1252 has one.
std::optional<char> byteOf(wchar_t c) {
  const auto code = static_cast<std::uint32_t>(c);
  if (code >= kByteOfCharacter.size() || kByteOfCharacter[code] == kNoByte)
    return std::nullopt;
  return static_cast<char>(kByteOfCharacter[code]);
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
    for (std::size_t i = 0; i < bytes.size(); ++i)
      text[i] = kCharacterOfByte[static_cast<unsigned char>(bytes[i])];
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
