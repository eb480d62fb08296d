#pragma once
// Conversion between text and single-byte ANSI character codes. The password codec
// works on bytes; which code page stands for "the system's ANSI code page" is decided
// at the platform edge (CP_ACP on Windows, a fixed Windows-1252 table elsewhere).
#include <string>
#include <string_view>

namespace brennow {

class AnsiCodePage {
public:
  virtual ~AnsiCodePage() = default;
  // One byte per character; a character the code page lacks becomes its default character.
  virtual std::string toBytes(std::wstring_view text) const = 0;
  // One character per byte.
  virtual std::wstring fromBytes(std::string_view bytes) const = 0;
  // True when every character has its own single-byte code (no default character needed).
  virtual bool canRepresent(std::wstring_view text) const = 0;
};

// Windows-1252, portable; unmapped characters become '?'.
const AnsiCodePage &windows1252();

#ifdef _WIN32
// The system's ANSI code page (CP_ACP).
const AnsiCodePage &systemAnsiCodePage();
#endif

} // namespace brennow
