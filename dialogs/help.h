#pragma once
// The component's help file, "brennow.chm" beside the library, shown by the platform's
// help viewer.
#include <windows.h>

namespace brennow::dialogs {

// Asks the help viewer for topic `contextId`. The viewer is loaded at the first call
// and kept; when it cannot be loaded nothing happens.
void showHelpContext(HWND caller, DWORD contextId);

} // namespace brennow::dialogs
