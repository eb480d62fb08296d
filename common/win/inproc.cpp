#include "common/win/inproc.h"

#include <atomic>

#include "common/win/ComObject.h"

namespace brennow::win {

namespace module {
namespace {
std::atomic<LONG> liveObjectCount{0};
std::atomic<LONG> lockCount{0};
} // namespace

void objectCreated() noexcept { ++liveObjectCount; }
void objectDestroyed() noexcept { --liveObjectCount; }
LONG liveObjects() noexcept { return liveObjectCount; }

void lock() noexcept { ++lockCount; }
void unlock() noexcept { --lockCount; }

HRESULT canUnloadNow() noexcept { return liveObjectCount == 0 && lockCount == 0 ? S_OK : S_FALSE; }

} // namespace module

namespace {

// The class factory of one class. While one is held, the library stays loaded.
class ClassFactory final : public ComObject<ClassFactory, IClassFactory> {
public:
  explicit ClassFactory(InstanceCreator create) noexcept : create_(create) { module::lock(); }
  ~ClassFactory() { module::unlock(); }

  STDMETHODIMP CreateInstance(IUnknown *outer, REFIID iid, void **object) override {
    if (!object)
      return E_POINTER;
    *object = nullptr;
    if (outer)
      return CLASS_E_NOAGGREGATION;
    try {
      return create_(iid, object);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }

  STDMETHODIMP LockServer(BOOL lock) override {
    lock ? module::lock() : module::unlock();
    return S_OK;
  }

private:
  InstanceCreator create_;
};

} // namespace

HRESULT getClassObject(std::span<const CreatableClass> classes, REFCLSID clsid, REFIID iid,
                       void **object) noexcept {
  if (!object)
    return E_POINTER;
  *object = nullptr;
  for (const auto &creatable : classes) {
    if (clsid != creatable.clsid)
      continue;
    try {
      return ClassFactory::make(creatable.create)->QueryInterface(iid, object);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

} // namespace brennow::win
