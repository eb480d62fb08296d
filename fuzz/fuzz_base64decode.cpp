// The decoder over arbitrary text. Input: one flag byte (bit 0: text is UTF-16 pairs), then
// the encoded text. Run-time error 5 is the decoder's answer to a group that begins with
// "=", so it is expected exactly then; otherwise the bytes are those of a plain
// group-by-group decoding.
#include <cstdlib>
#include <string_view>

#include "common/AutomationError.h"
#include "fuzz/common.h"
#include "params/base64.h"

namespace {

bool someGroupStartsWithEquals(const std::wstring &text) {
  for (std::size_t i = 0; i < text.size(); i += 4) {
    if (text[i] == L'=')
      return true;
  }
  return false;
}

// The alphabet index of a character; every character outside the alphabet counts as "A".
unsigned indexOf(wchar_t c) {
  constexpr std::wstring_view kAlphabet =
      L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto at = kAlphabet.find(c);
  return at == std::wstring_view::npos ? 0 : static_cast<unsigned>(at);
}

// Each group of four places (places past the end hold "=") gives its three bytes up to
// the lowest place that holds "=", less one.
std::string plainDecoding(const std::wstring &text) {
  std::string bytes;
  for (std::size_t group = 0; group < text.size(); group += 4) {
    unsigned bits = 0;
    int count = 3;
    for (int place = 3; place >= 0; --place) {
      const std::size_t at = group + static_cast<std::size_t>(place);
      const wchar_t c = at < text.size() ? text[at] : L'=';
      if (c == L'=')
        count = place - 1;
      else
        bits |= indexOf(c) << (18 - 6 * place);
    }
    for (int i = 0; i < count; ++i)
      bytes += static_cast<char>((bits >> (16 - 8 * i)) & 255u);
  }
  return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::wstring text = brennow::fuzz::wideText(data + 1, size - 1, (data[0] & 1) != 0);
  const bool mustFail = someGroupStartsWithEquals(text);
  try {
    const std::string bytes = brennow::decodeToBytes(text);
    if (mustFail || bytes != plainDecoding(text))
      std::abort();
    const std::wstring decodedText = brennow::base64Decode(text, brennow::windows1252());
    if (decodedText.size() != bytes.size())
      std::abort();
  } catch (const brennow::AutomationError &error) {
    if (!mustFail ||
        error.hresult() != brennow::runtimeErrorHresult(brennow::kInvalidProcedureCall))
      std::abort();
  }
  return 0;
}
