#include <cwctype>

#include "params/Generic.h"

namespace brennow {

wchar_t upperChar(wchar_t c) {
  return static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
}

} // namespace brennow
