#pragma once
// Always on top: moves a window into or out of the topmost band of the stacking order.
#include <windows.h>

#include <cstdint>

namespace brennow::dialogs {

// Keeps the window's size and position and changes only its place in the stacking
// order. Returns SetWindowPos's result (nonzero on success) when `topmost` is true,
// and 0 otherwise, whatever SetWindowPos returned.
std::int32_t setTopmost(HWND window, bool topmost);

} // namespace brennow::dialogs
