#pragma once
// The parts every in-process COM server of this tree shares: the module's liveness
// counts, DllCanUnloadNow's answer, and one class factory over a table of creatable
// classes. Each library that links this holds counts of its own.
#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <span>

namespace brennow::win {

namespace module {

// Objects handed out by the library, counted from their constructors and destructors.
void objectCreated() noexcept;
void objectDestroyed() noexcept;
LONG liveObjects() noexcept;

// Held by IClassFactory::LockServer and by every class factory alive.
void lock() noexcept;
void unlock() noexcept;

// DllCanUnloadNow's answer: S_OK once no object, factory or lock is left. Answering
// S_OK also lets go of the library's type information (moduleTypeInfo).
HRESULT canUnloadNow() noexcept;

} // namespace module

// The type information of `iid` from the library's own type library: read on the first
// call, then shared by every object until the library may be unloaded. Safe from any
// thread. Throws AutomationError when the type library cannot be read.
Microsoft::WRL::ComPtr<ITypeInfo> moduleTypeInfo(REFIID iid);

// Creates one object of a class and answers `iid` on it. May throw; the factory turns
// anything thrown into E_OUTOFMEMORY.
using InstanceCreator = HRESULT (*)(REFIID iid, void **object);

// One row of a library's class table.
struct CreatableClass {
  const CLSID &clsid;
  InstanceCreator create;
};

// A CreateInstance for a class made with ComObject::make() and no arguments.
template <typename Object> HRESULT createInstance(REFIID iid, void **object) {
  return Object::make()->QueryInterface(iid, object);
}

// DllGetClassObject over `classes`: a class factory for a listed class id, otherwise
// CLASS_E_CLASSNOTAVAILABLE. Factories refuse aggregation.
HRESULT getClassObject(std::span<const CreatableClass> classes, REFCLSID clsid, REFIID iid,
                       void **object) noexcept;

} // namespace brennow::win
