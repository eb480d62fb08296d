// The library's entry points. They hold no logic of the component's own: the class
// table below and the registration table (registration.cpp) drive them.
#include <windows.h>

#include "common/win/inproc.h"
#include "component/brennow_h.h"
#include "component/registration.h"
#include "component/vmwarecom.h"

namespace {

// The one creatable class.
const brennow::win::CreatableClass classTable[] = {
    {CLSID_vmwarecom, &brennow::createVmwareCom},
};

} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

STDAPI DllCanUnloadNow() { return brennow::win::module::canUnloadNow(); }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void **object) {
  return brennow::win::getClassObject(classTable, clsid, iid, object);
}

STDAPI DllRegisterServer() { return brennow::registerServer(); }

STDAPI DllUnregisterServer() { return brennow::unregisterServer(); }
}
