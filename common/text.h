#pragma once
// The component's text rules, shared by the check, the dialogs and the runner.
#include <cstdint>
#include <string>
#include <string_view>

namespace brennow {

// Removes leading and trailing space characters (code 32) only; tabs stay.
std::wstring trimSpaces(std::wstring_view text);

// Decimal text of n with one leading blank when n is zero or positive, a minus sign otherwise.
std::wstring numberText(std::int64_t n);

} // namespace brennow
