// The DLL's entry points: class objects, unload check, live-object count.
#include "standin/Module.h"

#include "standin/Guids.h"
#include "standin/MachineObject.h"
#include "standin/ParamsObject.h"
#include "standin/ServerObject.h"

#include <objbase.h>
#include <unknwn.h>

namespace standin {

namespace {

LONG liveObjectCount = 0;
LONG lockCount = 0;

// The class object of one creatable class. Class objects are static; a reference
// to one keeps the module loaded.
class ClassFactory final : public IClassFactory {
public:
  using Create = Microsoft::WRL::ComPtr<IDispatch> (*)();
  explicit constexpr ClassFactory(Create create) noexcept : create_(create) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
    if (!object)
      return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory)
      return E_NOINTERFACE;
    *object = static_cast<IClassFactory *>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    lockModule();
    return 2;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    unlockModule();
    return 1;
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID iid, void **object) override {
    if (!object)
      return E_POINTER;
    *object = nullptr;
    if (outer)
      return CLASS_E_NOAGGREGATION;
    try {
      return create_()->QueryInterface(iid, object);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock ? lockModule() : unlockModule();
    return S_OK;
  }

private:
  Create create_;
};

template <typename T> Microsoft::WRL::ComPtr<IDispatch> createAs() {
  return Microsoft::WRL::ComPtr<IDispatch>(makeObject<T>().Get());
}

ClassFactory paramsFactory(createAs<ParamsObject>);
ClassFactory serverFactory(createAs<ServerObject>);
ClassFactory machineFactory(createAs<MachineObject>);

ClassFactory *factoryFor(REFCLSID clsid) {
  if (clsid == clsidConnectParams)
    return &paramsFactory;
  if (clsid == clsidServer)
    return &serverFactory;
  if (clsid == clsidMachine)
    return &machineFactory;
  return nullptr;
}

} // namespace

void objectCreated() noexcept { InterlockedIncrement(&liveObjectCount); }
void objectDestroyed() noexcept { InterlockedDecrement(&liveObjectCount); }
LONG liveObjects() noexcept { return InterlockedCompareExchange(&liveObjectCount, 0, 0); }

void lockModule() noexcept { InterlockedIncrement(&lockCount); }
void unlockModule() noexcept { InterlockedDecrement(&lockCount); }
LONG moduleLocks() noexcept { return InterlockedCompareExchange(&lockCount, 0, 0); }

} // namespace standin

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID *object) {
  if (!object)
    return E_POINTER;
  *object = nullptr;
  auto *factory = standin::factoryFor(clsid);
  if (!factory)
    return CLASS_E_CLASSNOTAVAILABLE;
  return factory->QueryInterface(iid, object);
}

STDAPI DllCanUnloadNow() {
  return standin::liveObjects() == 0 && standin::moduleLocks() == 0 ? S_OK : S_FALSE;
}

// The number of stand-in objects alive in this process, for tests that check that
// every reference they were handed has been released.
extern "C" LONG WINAPI StandinLiveObjects() { return standin::liveObjects(); }
