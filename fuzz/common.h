#pragma once
// Turning fuzzer bytes into the wide texts the parameter lookup and the decoder take.
#include <cstddef>
#include <cstdint>
#include <string>

namespace brennow::fuzz {

// Two readings of the same bytes: one character per byte (Latin-1, readable corpus files),
// or one character per little-endian pair of bytes (any UTF-16 unit, surrogates included).
inline std::wstring wideText(const std::uint8_t *data, std::size_t size, bool pairs) {
  std::wstring text;
  if (!pairs) {
    text.assign(data, data + size);
    return text;
  }
  text.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2)
    text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  return text;
}

} // namespace brennow::fuzz
