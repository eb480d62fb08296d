#pragma once
#include <windows.h>

namespace brennow {

// Creates a vmwarecom object and answers `iid` on it (the class factory's creation step).
HRESULT createVmwareCom(REFIID iid, void **object);

} // namespace brennow
