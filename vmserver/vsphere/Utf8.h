#pragma once
// UTF-8 for the SOAP envelopes and answers, wide text for everything above the adapter.
// wchar_t holds UTF-16 units on Windows and whole code points elsewhere; both are handled.
#include <string>
#include <string_view>

namespace brennow::vmserver::vsphere {

// Invalid sequences and lone surrogates become U+FFFD.
std::string toUtf8(std::wstring_view text);
std::wstring fromUtf8(std::string_view bytes);

} // namespace brennow::vmserver::vsphere
