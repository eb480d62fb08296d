// The DLL's class table and the entry points that serve it.
#include "common/win/inproc.h"
#include "standin/Guids.h"
#include "standin/MachineObject.h"
#include "standin/ParamsObject.h"
#include "standin/ServerObject.h"

#include <windows.h>

namespace {

using brennow::win::createInstance;

const brennow::win::CreatableClass classTable[] = {
    {standin::clsidConnectParams, &createInstance<standin::ParamsObject>},
    {standin::clsidServer, &createInstance<standin::ServerObject>},
    {standin::clsidMachine, &createInstance<standin::MachineObject>},
};

} // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID *object) {
  return brennow::win::getClassObject(classTable, clsid, iid, object);
}

STDAPI DllCanUnloadNow() { return brennow::win::module::canUnloadNow(); }

// The number of stand-in objects alive in this process, for tests that check that
// every reference they were handed has been released.
extern "C" LONG WINAPI StandinLiveObjects() { return brennow::win::module::liveObjects(); }
