#pragma once
#include <windows.h>

namespace brennow {

// Registers the type library from the DLL's own TYPELIB resource, the class with its
// in-process server path and threading model, and the ProgID.
HRESULT registerServer();
// Removes what registerServer wrote.
HRESULT unregisterServer();

} // namespace brennow
