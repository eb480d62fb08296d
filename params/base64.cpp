#include "params/base64.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "common/AutomationError.h"

namespace brennow {

namespace {

// Index -1 (the padding mark) is the first entry, so index i sits at kAlphabet[i + 1].
constexpr char kAlphabet[] = "=ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kPadding = -1;

char alphabetChar(int index) { return kAlphabet[index + 1]; }

// Decoding table over ASCII: the alphabet index of each character, kEquals for "=", and 0
// (the index of "A") for every other character. "=" has the index 0 too (kEquals & 63).
constexpr std::uint8_t kEquals = 0x80;
constexpr std::array<std::uint8_t, 128> makeDecodeTable() {
  std::array<std::uint8_t, 128> table{};
  for (int index = 0; index < 64; ++index)
    table[static_cast<unsigned char>(kAlphabet[index + 1])] = static_cast<std::uint8_t>(index);
  table['='] = kEquals;
  return table;
}
constexpr auto kDecodeTable = makeDecodeTable();

std::uint8_t decodeEntry(wchar_t c) {
  const auto code = static_cast<std::uint32_t>(c);
  return code < kDecodeTable.size() ? kDecodeTable[code] : 0;
}

// A missing character and a character of code 0 are the same to the encoder: either
// one in the second or third place of a group turns the matching output into padding.
void encodeGroup(const unsigned char *in, std::size_t available, char *out) {
  const unsigned c1 = in[0];
  const unsigned c2 = available > 1 ? in[1] : 0u;
  const unsigned c3 = available > 2 ? in[2] : 0u;
  const int e1 = static_cast<int>(c1 >> 2);
  const int e2 = static_cast<int>(((c1 << 4) & 0x30u) | (c2 >> 4));
  int e3 = c2 > 0 ? static_cast<int>((c2 << 2) & 0x3Cu) : kPadding;
  int e4 = kPadding;
  if (c3 > 0) {
    e3 |= static_cast<int>(c3 >> 6); // the padding mark has all bits set and stays padding
    e4 = static_cast<int>(c3 & 63u);
  }
  out[0] = alphabetChar(e1);
  out[1] = alphabetChar(e2);
  out[2] = alphabetChar(e3);
  out[3] = alphabetChar(e4);
}

// Writes the three bytes of one group of four places (places past the end count as "=")
// and returns how many of them belong to the output: the lowest place holding "=", minus 1.
std::size_t decodeGroup(const wchar_t *in, std::size_t available, char *out) {
  std::uint8_t entries[4];
  for (std::size_t j = 0; j < 4; ++j)
    entries[j] = j < available ? decodeEntry(in[j]) : kEquals;

  int count = 3;
  for (int j = 3; j >= 0; --j) {
    if (entries[j] & kEquals)
      count = j - 1;
  }
  if (count < 0)
    throw runtimeError(kInvalidProcedureCall);

  const unsigned d0 = entries[0] & 63u;
  const unsigned d1 = entries[1] & 63u;
  const unsigned d2 = entries[2] & 63u;
  const unsigned d3 = entries[3] & 63u;
  out[0] = static_cast<char>(((d0 << 2) | (d1 >> 4)) & 255u);
  out[1] = static_cast<char>(((d1 << 4) | (d2 >> 2)) & 255u);
  out[2] = static_cast<char>(((d2 << 6) | d3) & 255u);
  return static_cast<std::size_t>(count);
}

} // namespace

std::string encodeBytes(std::string_view bytes) {
  std::string encoded((bytes.size() + 2) / 3 * 4, '\0');
  const auto *in = reinterpret_cast<const unsigned char *>(bytes.data());
  char *out = encoded.data();
  for (std::size_t remaining = bytes.size(); remaining > 0;) {
    const std::size_t available = std::min<std::size_t>(remaining, 3);
    encodeGroup(in, available, out);
    in += available;
    out += 4;
    remaining -= available;
  }
  return encoded;
}

// Every character takes a place: nothing outside the alphabet is skipped.
std::string decodeToBytes(std::wstring_view encoded) {
  std::string decoded((encoded.size() + 3) / 4 * 3, '\0');
  const wchar_t *in = encoded.data();
  char *out = decoded.data();
  for (std::size_t remaining = encoded.size(); remaining > 0;) {
    const std::size_t available = std::min<std::size_t>(remaining, 4);
    out += decodeGroup(in, available, out);
    in += available;
    remaining -= available;
  }
  decoded.resize(static_cast<std::size_t>(out - decoded.data()));
  return decoded;
}

std::wstring base64Encode(std::wstring_view text, const AnsiCodePage &codePage) {
  const std::string encoded = encodeBytes(codePage.toBytes(text));
  return std::wstring(encoded.begin(), encoded.end());
}

std::wstring base64Decode(std::wstring_view encoded, const AnsiCodePage &codePage) {
  return codePage.fromBytes(decodeToBytes(encoded));
}

} // namespace brennow
