// Encoding arbitrary bytes and decoding the result. The encoding of any bytes decodes
// without error; bytes without code 0 come back unchanged; with code 0 in the second or
// third place of a group, that group comes back cut before the zero.
#include <cstdlib>
#include <string>

#include "params/base64.h"

namespace {

std::string expectedRoundTrip(const std::string &bytes) {
  std::string expected;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    expected += bytes[i];
    for (std::size_t k = i + 1; k < i + 3 && k < bytes.size() && bytes[k] != '\0'; ++k)
      expected += bytes[k];
  }
  return expected;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char *>(data), size);
  const std::string encoded = brennow::encodeBytes(bytes);
  if (encoded.size() != (size + 2) / 3 * 4 || encoded.find('#') != std::string::npos)
    std::abort();
  const std::string decoded = brennow::decodeToBytes(std::wstring(encoded.begin(), encoded.end()));
  if (decoded != expectedRoundTrip(bytes))
    std::abort();

  // The same through the text codec: code page characters without code 0 come back.
  const auto &codePage = brennow::windows1252();
  const std::wstring text = codePage.fromBytes(bytes);
  const std::wstring back = brennow::base64Decode(brennow::base64Encode(text, codePage), codePage);
  if (bytes.find('\0') == std::string::npos && back != text)
    std::abort();
  return 0;
}
