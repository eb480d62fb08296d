#include "component/ClassFactory.h"

#include <unknwn.h>

#include <new>

#include "common/win/ComObject.h"
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

// Counts as a live object: while one is held, the library stays loaded.
class ClassFactory final : public win::ComObject<ClassFactory, IClassFactory> {
public:
  explicit ClassFactory(InstanceCreator create) noexcept : create_(create) {
    module::objectCreated();
  }
  ~ClassFactory() { module::objectDestroyed(); }

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
    try {
      return ClassFactory::make(entry.create)->QueryInterface(iid, object);
    } catch (const std::bad_alloc &) {
      return E_OUTOFMEMORY;
    }
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

} // namespace brennow
