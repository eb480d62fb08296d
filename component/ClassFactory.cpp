#include "component/ClassFactory.h"

#include <unknwn.h>

#include <atomic>
#include <iterator>
#include <new>

#include "component/brennow_h.h"
#include "component/module.h"
#include "component/vmwarecom.h"

namespace brennow {
namespace {

using InstanceCreator = HRESULT (*)(REFIID iid, void **object);

struct ClassEntry {
  const CLSID *clsid;
  InstanceCreator create;
};

// The one creatable class.
const ClassEntry classTable[] = {
    {&CLSID_vmwarecom, &createVmwareCom},
};

class ClassFactory final : public IClassFactory {
public:
  explicit ClassFactory(InstanceCreator create) : create_(create) { module::objectCreated(); }
  ~ClassFactory() { module::objectDestroyed(); }

  STDMETHODIMP QueryInterface(REFIID iid, void **object) override {
    if (!object)
      return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = static_cast<IClassFactory *>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG remaining = --refs_;
    if (remaining == 0)
      delete this;
    return remaining;
  }

  STDMETHODIMP CreateInstance(IUnknown *outer, REFIID iid, void **object) override {
    if (!object)
      return E_POINTER;
    *object = nullptr;
    if (outer)
      return CLASS_E_NOAGGREGATION;
    return create_(iid, object);
  }

  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      module::lock();
    else
      module::unlock();
    return S_OK;
  }

private:
  std::atomic<ULONG> refs_{1};
  InstanceCreator create_;
};

} // namespace

HRESULT getClassObject(REFCLSID clsid, REFIID iid, void **object) {
  if (!object)
    return E_POINTER;
  *object = nullptr;
  for (const auto &entry : classTable) {
    if (clsid != *entry.clsid)
      continue;
    auto *factory = new (std::nothrow) ClassFactory(entry.create);
    if (!factory)
      return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

} // namespace brennow
