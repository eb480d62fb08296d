// The decoder over arbitrary text. Input: one flag byte (bit 0: text is UTF-16 pairs), then
// the encoded text. Run-time error 5 is the decoder's answer to a group that begins with
// "=", so it is expected exactly then.
#include <cstdlib>

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::wstring text = brennow::fuzz::wideText(data + 1, size - 1, (data[0] & 1) != 0);
  const bool mustFail = someGroupStartsWithEquals(text);
  try {
    const std::string bytes = brennow::decodeToBytes(text);
    if (mustFail || bytes.size() > (text.size() + 3) / 4 * 3)
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
