#pragma once
#include <windows.h>

namespace brennow {

// Hands out the class factory of a class in the component's class table.
HRESULT getClassObject(REFCLSID clsid, REFIID iid, void **object);

} // namespace brennow
