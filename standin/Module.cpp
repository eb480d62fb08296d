// The DLL's entry points: class objects, unload check, live-object count.
#include "standin/Module.h"

#include "standin/Guids.h"
#include "standin/MachineObject.h"
#include "standin/ParamsObject.h"
#include "standin/ServerObject.h"

#include <objbase.h>
#include <unknwn.h>

#include <new>

namespace standin {

namespace {

LONG liveObjectCount = 0;
LONG lockCount = 0;

// The class object of one creatable class. While one is held, the module stays loaded.
class ClassFactory final : public brennow::win::ComObject<ClassFactory, IClassFactory> {
public:
  using Create = Microsoft::WRL::ComPtr<IDispatch> (*)();
  explicit ClassFactory(Create create) noexcept : create_(create) { lockModule(); }
  ~ClassFactory() { unlockModule(); }

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

template <typename T> Microsoft::WRL::ComPtr<IDispatch> createAs() { return T::make(); }

ClassFactory::Create creatorFor(REFCLSID clsid) {
  if (clsid == clsidConnectParams)
    return createAs<ParamsObject>;
  if (clsid == clsidServer)
    return createAs<ServerObject>;
  if (clsid == clsidMachine)
    return createAs<MachineObject>;
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
  const auto create = standin::creatorFor(clsid);
  if (!create)
    return CLASS_E_CLASSNOTAVAILABLE;
  try {
    return standin::ClassFactory::make(create)->QueryInterface(iid, object);
  } catch (const std::bad_alloc &) {
    return E_OUTOFMEMORY;
  }
}

STDAPI DllCanUnloadNow() {
  return standin::liveObjects() == 0 && standin::moduleLocks() == 0 ? S_OK : S_FALSE;
}

// The number of stand-in objects alive in this process, for tests that check that
// every reference they were handed has been released.
extern "C" LONG WINAPI StandinLiveObjects() { return standin::liveObjects(); }
