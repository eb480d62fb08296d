#pragma once
// A type library written out as lines of text, member by member, so that two builds of it
// (the 32-bit and the 64-bit DLL's) can be compared line by line.
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

namespace image {

// Every type of `library`: its name, GUID, kind, flags, version and counts; for every function
// its names (the member's and its parameters'), dispatch id, invoke kind, function kind,
// calling convention, vtable slot, flags, return type and each parameter's type and flags; for
// every variable its name, id, kind and type. A dual interface's vtable part is written out
// after its dispatch part. Vtable slots are counted in pointers, as the loaded library gives
// them. The library's own attributes come first, without its platform (SYSKIND).
std::vector<std::wstring> describeTypeLibrary(ITypeLib *library);

} // namespace image
