#include "params/base64.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "common/AutomationError.h"

namespace brennow {

namespace {

// Index -1 (the padding mark) is the first entry, so index i sits at kAlphabet[i + 1].
constexpr char kAlphabet[] = "=ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr const char *kDigits = kAlphabet + 1; // the characters of the indices 0 to 63
constexpr int kPadding = -1;

char alphabetChar(int index) { return kAlphabet[index + 1]; }

// ---------------------------------------------------------------------------- encoding
// Both directions write into a buffer sized beforehand and take the common case, whole
// groups of standard Base64, with a few table reads; the component's own rules for code 0
// and for "=" keep their group-by-group path.

// The two output characters of each 12-bit half of a group.
constexpr std::array<std::array<char, 2>, 4096> makePairTable() {
  std::array<std::array<char, 2>, 4096> table{};
  for (int bits = 0; bits < 4096; ++bits)
    table[static_cast<std::size_t>(bits)] = {kDigits[bits >> 6], kDigits[bits & 63]};
  return table;
}
constexpr auto kPairTable = makePairTable();

// A missing character and a character of code 0 are the same to the encoder: either
// one in the second or third place of a group turns the matching output into padding.
template <typename Char>
void encodeGroup(const unsigned char *in, std::size_t available, Char *out) {
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
  out[0] = static_cast<Char>(alphabetChar(e1));
  out[1] = static_cast<Char>(alphabetChar(e2));
  out[2] = static_cast<Char>(alphabetChar(e3));
  out[3] = static_cast<Char>(alphabetChar(e4));
}

// A whole group whose second and third bytes are not 0 is standard Base64.
template <typename Char> void encodeStandardGroup(const unsigned char *in, Char *out) {
  const unsigned bits = (unsigned{in[0]} << 16) | (unsigned{in[1]} << 8) | in[2];
  const auto &high = kPairTable[bits >> 12];
  const auto &low = kPairTable[bits & 0xFFFu];
  if constexpr (sizeof(Char) == 1) {
    std::memcpy(out, high.data(), 2); // one 16-bit move each
    std::memcpy(out + 2, low.data(), 2);
  } else {
    out[0] = static_cast<Char>(high[0]);
    out[1] = static_cast<Char>(high[1]);
    out[2] = static_cast<Char>(low[0]);
    out[3] = static_cast<Char>(low[1]);
  }
}

// True when none of the eight bytes at `in` is 0 (the word test for a zero byte).
bool noZeroByte(const unsigned char *in) {
  std::uint64_t word;
  std::memcpy(&word, in, sizeof word);
  constexpr std::uint64_t ones = 0x0101010101010101u;
  constexpr std::uint64_t highs = 0x8080808080808080u;
  return ((word - ones) & ~word & highs) == 0;
}

// Writes the 4 * ceil(size / 3) characters of the encoding to `out`. Runs of four groups
// without code 0 (almost all input) take two word tests for the four.
template <typename Char> void encodeInto(const unsigned char *in, std::size_t size, Char *out) {
  constexpr std::size_t kRunBytes = 12;
  std::size_t remaining = size;
  for (; remaining >= kRunBytes; remaining -= kRunBytes, in += kRunBytes, out += 16) {
    if (noZeroByte(in) && noZeroByte(in + 4)) {
      for (std::size_t group = 0; group < 4; ++group)
        encodeStandardGroup(in + 3 * group, out + 4 * group);
    } else {
      for (std::size_t group = 0; group < 4; ++group)
        encodeGroup(in + 3 * group, 3, out + 4 * group);
    }
  }
  for (; remaining > 0; in += 3, out += 4) {
    const std::size_t available = remaining < 3 ? remaining : 3;
    encodeGroup(in, available, out);
    remaining -= available;
  }
}

std::size_t encodedSize(std::size_t bytes) { return (bytes + 2) / 3 * 4; }

// ---------------------------------------------------------------------------- decoding

// Every character at or above kOutsideAscii decodes like the entry kOutsideAscii: as "A".
constexpr std::uint32_t kOutsideAscii = 128;
// Set in every table entry of "=": marks a group that ends its output early.
constexpr std::uint32_t kEqualsMark = 0x80000000u;

// The alphabet index of each character, shifted into its place of a group's 24 bits; 0 for
// every character outside the alphabet, and only the mark for "=" (whose index is 0 too).
constexpr std::array<std::uint32_t, kOutsideAscii + 1> makeDecodeTable(unsigned shift) {
  std::array<std::uint32_t, kOutsideAscii + 1> table{};
  for (unsigned index = 0; index < 64; ++index)
    table[static_cast<unsigned char>(kDigits[index])] = index << shift;
  table['='] = kEqualsMark;
  return table;
}
constexpr std::array<std::array<std::uint32_t, kOutsideAscii + 1>, 4> kDecodeTables = {
    makeDecodeTable(18), makeDecodeTable(12), makeDecodeTable(6), makeDecodeTable(0)};

std::uint32_t decodeEntry(wchar_t c, std::size_t place) {
  const auto code = static_cast<std::uint32_t>(c);
  return kDecodeTables[place][code < kOutsideAscii ? code : kOutsideAscii];
}

void writeGroupBytes(std::uint32_t bits, char *out) {
  out[0] = static_cast<char>((bits >> 16) & 255u);
  out[1] = static_cast<char>((bits >> 8) & 255u);
  out[2] = static_cast<char>(bits & 255u);
}

// Writes the three bytes of one group of four places (places past the end count as "=")
// and returns how many of them belong to the output: the lowest place holding "=", minus 1.
std::size_t decodeGroup(const wchar_t *in, std::size_t available, char *out) {
  std::uint32_t bits = 0;
  int count = 3;
  for (int j = 3; j >= 0; --j) {
    const auto place = static_cast<std::size_t>(j);
    const std::uint32_t entry = place < available ? decodeEntry(in[place], place) : kEqualsMark;
    if (entry & kEqualsMark)
      count = j - 1;
    else
      bits |= entry;
  }
  if (count < 0)
    throw runtimeError(kInvalidProcedureCall);
  writeGroupBytes(bits, out);
  return static_cast<std::size_t>(count);
}

// The 24 bits of a whole group of ASCII characters, with kEqualsMark set where one is "=".
std::uint32_t asciiGroupBits(const std::uint32_t *c) {
  return kDecodeTables[0][c[0]] | kDecodeTables[1][c[1]] | kDecodeTables[2][c[2]] |
         kDecodeTables[3][c[3]];
}

// Two whole groups of ASCII characters without "=" (almost every pair of groups) take one
// test for the character range, eight table reads, one test for "=" and one 8-byte store,
// whose last 2 bytes the following group's output overwrites: the caller makes sure a
// group follows.
bool decodeTwoStandardGroups(const wchar_t *in, char *out) {
  std::uint32_t c[8];
  for (std::size_t i = 0; i < 8; ++i)
    c[i] = static_cast<std::uint32_t>(in[i]);
  if ((c[0] | c[1] | c[2] | c[3] | c[4] | c[5] | c[6] | c[7]) >= kOutsideAscii)
    return false;
  const std::uint32_t first = asciiGroupBits(c), second = asciiGroupBits(c + 4);
  if ((first | second) & kEqualsMark)
    return false;
  std::uint64_t bytes = (std::uint64_t{first} << 40) | (std::uint64_t{second} << 16);
  if constexpr (std::endian::native == std::endian::little)
    bytes = __builtin_bswap64(bytes); // the highest byte first in memory
  std::memcpy(out, &bytes, sizeof bytes);
  return true;
}

// One whole group; the component's rules for "=" and for characters outside ASCII take
// decodeGroup's path. Returns the bytes written.
std::size_t decodeOneGroup(const wchar_t *in, char *out) {
  const std::uint32_t c[4] = {static_cast<std::uint32_t>(in[0]), static_cast<std::uint32_t>(in[1]),
                              static_cast<std::uint32_t>(in[2]), static_cast<std::uint32_t>(in[3])};
  if ((c[0] | c[1] | c[2] | c[3]) < kOutsideAscii) {
    const std::uint32_t bits = asciiGroupBits(c);
    if ((bits & kEqualsMark) == 0) {
      writeGroupBytes(bits, out);
      return 3;
    }
  }
  return decodeGroup(in, 4, out);
}

std::size_t decodeInto(const wchar_t *in, std::size_t size, char *out) {
  char *const start = out;
  std::size_t remaining = size;
  while (remaining >= 4) {
    for (; remaining >= 12 && decodeTwoStandardGroups(in, out); remaining -= 8, in += 8)
      out += 6;
    if (remaining < 4)
      break;
    out += decodeOneGroup(in, out);
    in += 4;
    remaining -= 4;
  }
  if (remaining > 0)
    out += decodeGroup(in, remaining, out);
  return static_cast<std::size_t>(out - start);
}

} // namespace

std::string encodeBytes(std::string_view bytes) {
  std::string encoded(encodedSize(bytes.size()), '\0');
  encodeInto(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), encoded.data());
  return encoded;
}

// Every character takes a place: nothing outside the alphabet is skipped.
std::string decodeToBytes(std::wstring_view encoded) {
  std::string decoded((encoded.size() + 3) / 4 * 3, '\0');
  decoded.resize(decodeInto(encoded.data(), encoded.size(), decoded.data()));
  return decoded;
}

std::wstring base64Encode(std::wstring_view text, const AnsiCodePage &codePage) {
  const std::string bytes = codePage.toBytes(text);
  std::wstring encoded(encodedSize(bytes.size()), L'\0');
  encodeInto(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), encoded.data());
  return encoded;
}

std::wstring base64Decode(std::wstring_view encoded, const AnsiCodePage &codePage) {
  return codePage.fromBytes(decodeToBytes(encoded));
}

} // namespace brennow
