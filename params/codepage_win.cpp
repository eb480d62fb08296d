#include <windows.h>

#include <optional>

#include "params/AnsiCodePage.h"

namespace brennow {

namespace {

// The system's ANSI code page through the Windows conversion functions. Each character
// (each UTF-16 unit, so a surrogate pair counts as two) is converted on its own, which
// keeps one byte per character even in a double-byte code page: a character that needs
// two bytes there becomes the default character, like one the code page lacks.
class SystemAnsiCodePage final : public AnsiCodePage {
public:
  SystemAnsiCodePage() {
    CPINFOEXW info{};
    if (GetCPInfoExW(CP_ACP, 0, &info)) {
      defaultByte_ = static_cast<char>(info.DefaultChar[0]);
      defaultChar_ = info.UnicodeDefaultChar;
    }
    // UTF-7 and UTF-8 reject the used-default report and every flag.
    const UINT acp = GetACP();
    reportsDefault_ = acp != CP_UTF7 && acp != CP_UTF8;
  }

  std::string toBytes(std::wstring_view text) const override {
    std::string bytes(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
      bytes[i] = singleByte(text[i], 0).value_or(defaultByte_);
    return bytes;
  }

  std::wstring fromBytes(std::string_view bytes) const override {
    std::wstring text(bytes.size(), L'\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
      text[i] = character(bytes[i]);
    return text;
  }

  // A best-fit substitute (such as "a" for a letter with a macron) is not the character's
  // own code, so it counts as missing here.
  bool canRepresent(std::wstring_view text) const override {
    const DWORD flags = reportsDefault_ ? WC_NO_BEST_FIT_CHARS : 0;
    for (const wchar_t c : text) {
      if (!singleByte(c, flags))
        return false;
    }
    return true;
  }

private:
  // The character's code when it is exactly one byte and not the default character.
  std::optional<char> singleByte(wchar_t c, DWORD flags) const {
    char bytes[8] = {}; // wider than any code page's longest character
    BOOL usedDefault = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, flags, &c, 1, bytes, sizeof bytes, nullptr,
                                           reportsDefault_ ? &usedDefault : nullptr);
    if (length != 1 || usedDefault)
      return std::nullopt;
    return bytes[0];
  }

  wchar_t character(char byte) const {
    wchar_t chars[2] = {};
    const int length = MultiByteToWideChar(CP_ACP, 0, &byte, 1, chars, 2);
    return length == 1 ? chars[0] : defaultChar_;
  }

  char defaultByte_ = '?';
  wchar_t defaultChar_ = L'?';
  bool reportsDefault_ = true;
};

} // namespace

const AnsiCodePage &systemAnsiCodePage() {
  static const SystemAnsiCodePage codePage;
  return codePage;
}

} // namespace brennow
