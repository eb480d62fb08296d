#include "common/win/inproc.h"

#include <oleauto.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "common/win/ComObject.h"
#include "common/win/automation.h"

namespace brennow::win {

namespace {

// The library's type library and the type information handed out from it.
class TypeInfoCache {
public:
  Microsoft::WRL::ComPtr<ITypeInfo> find(REFIID iid) {
    const std::lock_guard guard(mutex_);
    for (const auto &[cachedIid, info] : infos_) {
      if (cachedIid == iid)
        return info;
    }
    if (!library_)
      throwIfFailed(LoadTypeLibEx(thisModulePath().c_str(), REGKIND_NONE, &library_));
    Microsoft::WRL::ComPtr<ITypeInfo> info;
    throwIfFailed(library_->GetTypeInfoOfGuid(iid, &info));
    infos_.emplace_back(iid, info);
    return info;
  }

  void clear() noexcept {
    const std::lock_guard guard(mutex_);
    infos_.clear();
    library_.Reset();
  }

private:
  std::mutex mutex_;
  Microsoft::WRL::ComPtr<ITypeLib> library_;
  std::vector<std::pair<IID, Microsoft::WRL::ComPtr<ITypeInfo>>> infos_;
};

TypeInfoCache typeInfoCache;

} // namespace

Microsoft::WRL::ComPtr<ITypeInfo> moduleTypeInfo(REFIID iid) { return typeInfoCache.find(iid); }

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

HRESULT canUnloadNow() noexcept {
  if (liveObjectCount != 0 || lockCount != 0)
    return S_FALSE;
  // Objects hold references of their own; the cache's are only the library's.
  typeInfoCache.clear();
  return S_OK;
}

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
