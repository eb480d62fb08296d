#pragma once
// UTF-8 for files, logs and console output; the component's own text is UTF-16.
#include <string>
#include <string_view>

namespace brennow::win {

std::string utf8(std::wstring_view text);
// Throws std::range_error when `bytes` are not valid UTF-8.
std::wstring fromUtf8(std::string_view bytes);

} // namespace brennow::win
