// getParam over arbitrary strings and keys. Input: one flag byte (bit 0: quoted lookup,
// bit 1: texts are UTF-16 pairs), then the key, a newline, and the parameter string.
// The checks locate the field on their own (a case-blind search) and then only look at
// what surrounds the returned value.
#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "common/text.h"
#include "fuzz/common.h"
#include "params/Generic.h"

namespace {

void check(bool condition) {
  if (!condition)
    std::abort();
}

bool startsAt(std::wstring_view text, std::size_t position, std::wstring_view part) {
  return position <= text.size() && text.substr(position).starts_with(part);
}

void checkValue(std::wstring_view parameters, std::wstring_view key, bool quoted,
                std::wstring_view value) {
  std::wstring upperKey = brennow::trimSpaces(key);
  std::transform(upperKey.begin(), upperKey.end(), upperKey.begin(), brennow::upperChar);
  const std::wstring needle = L"#" + upperKey + (quoted ? L"=\"" : L"=");
  const auto field = std::search(parameters.begin(), parameters.end(), needle.begin(), needle.end(),
                                 [](wchar_t a, wchar_t b) { return brennow::upperChar(a) == b; });
  if (field == parameters.end()) {
    check(value.empty());
    return;
  }
  const auto start = static_cast<std::size_t>(field - parameters.begin()) + needle.size();
  check(startsAt(parameters, start, value));
  const std::size_t after = start + value.size();
  if (quoted) {
    // Up to the first closing quote followed by "#", or to the end.
    check(after == parameters.size() || startsAt(parameters, after, L"\"#"));
    check(value.find(L"\"#") == std::wstring_view::npos);
  } else if (upperKey.find(L'#') != std::wstring::npos) {
    check(value.empty()); // the value would end before it starts
  } else {
    check(after == parameters.size() || parameters[after] == L'#');
    check(value.find(L'#') == std::wstring_view::npos);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return 0;
  const bool quoted = (data[0] & 1) != 0;
  const bool pairs = (data[0] & 2) != 0;
  const std::uint8_t *rest = data + 1;
  const std::uint8_t *end = data + size;
  const std::uint8_t *split = std::find(rest, end, '\n');
  const std::wstring key =
      brennow::fuzz::wideText(rest, static_cast<std::size_t>(split - rest), pairs);
  const std::uint8_t *parametersStart = split == end ? end : split + 1;
  const std::wstring parameters = brennow::fuzz::wideText(
      parametersStart, static_cast<std::size_t>(end - parametersStart), pairs);

  checkValue(parameters, key, quoted, brennow::getParam(parameters, key, quoted));
  return 0;
}
