#include "common/text.h"

namespace brennow {

std::wstring trimSpaces(std::wstring_view text) {
  const auto first = text.find_first_not_of(L' ');
  if (first == std::wstring_view::npos)
    return {};
  const auto last = text.find_last_not_of(L' ');
  return std::wstring(text.substr(first, last - first + 1));
}

std::wstring numberText(std::int64_t n) {
  return n < 0 ? std::to_wstring(n) : L" " + std::to_wstring(n);
}

} // namespace brennow
