#include <windows.h>

#include "params/Generic.h"

namespace brennow {

// CharUpperBuffW over a single character: a character whose upper case would take more
// than one character is left as it is, so the length of a text never changes.
wchar_t upperChar(wchar_t c) {
  CharUpperBuffW(&c, 1);
  return c;
}

} // namespace brennow
