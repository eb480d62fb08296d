// The library's entry points. They hold no logic of the component's own: the class
// table (ClassFactory.cpp) and the registration table (registration.cpp) drive them.
#include <windows.h>

#include <atomic>

#include "component/ClassFactory.h"
#include "component/module.h"
#include "component/registration.h"

namespace brennow::module {
namespace {
std::atomic<long> liveObjects{0};
std::atomic<long> locks{0};
} // namespace

void objectCreated() noexcept { ++liveObjects; }
void objectDestroyed() noexcept { --liveObjects; }
void lock() noexcept { ++locks; }
void unlock() noexcept { --locks; }
bool canUnload() noexcept { return liveObjects == 0 && locks == 0; }

} // namespace brennow::module

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

STDAPI DllCanUnloadNow() { return brennow::module::canUnload() ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void **object) {
  return brennow::getClassObject(clsid, iid, object);
}

STDAPI DllRegisterServer() { return brennow::registerServer(); }

STDAPI DllUnregisterServer() { return brennow::unregisterServer(); }
}
