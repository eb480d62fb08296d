#include "dialogs/topWindow.h"

namespace brennow::dialogs {

std::int32_t setTopmost(HWND window, bool topmost) {
  constexpr UINT keepPlace = SWP_NOSIZE | SWP_NOMOVE;
  if (topmost)
    return SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, keepPlace);
  SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, keepPlace);
  return 0;
}

} // namespace brennow::dialogs
