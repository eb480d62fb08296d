#pragma once
// The password codec: Base64 (RFC 4648 alphabet, "=" padding) over single-byte ANSI
// codes, with the component's own fixed rules for code 0 and for malformed input.
// Not encryption: anyone can decode it.
#include <string>
#include <string_view>

#include "params/AnsiCodePage.h"

namespace brennow {

// Bytes to Base64 text. Never fails.
std::string encodeBytes(std::string_view bytes);

// Base64 text to bytes. Every character takes a place in a group of four (characters
// outside the alphabet count as 'A'); "=" ends a group's output early. A group that
// begins with "=" throws AutomationError run-time error 5.
std::string decodeToBytes(std::wstring_view encoded);

std::wstring base64Encode(std::wstring_view text, const AnsiCodePage &codePage);
std::wstring base64Decode(std::wstring_view encoded, const AnsiCodePage &codePage);

} // namespace brennow
