#pragma once
// UTF-8 for files, logs, console output and the vSphere adapter's messages; the component's
// own text is wide.
// wchar_t holds UTF-16 units on Windows and whole code points elsewhere; both are handled.
#include <string>
#include <string_view>

namespace brennow {

// Invalid sequences and lone surrogates become U+FFFD.
std::string toUtf8(std::wstring_view text);
// The same, appended to `out`.
void appendUtf8(std::string &out, std::wstring_view text);
std::wstring fromUtf8(std::string_view bytes);
// The same, appended to `out`.
void appendFromUtf8(std::wstring &out, std::string_view bytes);

// Whether `bytes` are well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF), so that fromUtf8 replaces nothing.
bool isUtf8(std::string_view bytes);

} // namespace brennow
