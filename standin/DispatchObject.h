#pragma once
// The common body of every stand-in object: reference and object counting, a
// hand-written IDispatch over a small member table, and the three ways a failing
// operation reports its fault (EXCEPINFO filled at once, EXCEPINFO filled on demand,
// or a plain failing HRESULT with IErrorInfo).
#include "standin/ComValues.h"
#include "standin/Inventory.h"

#include <windows.h>

#include <oaidl.h>
#include <wrl/client.h>

#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>

namespace standin {

inline constexpr wchar_t errorSource[] = L"vmstandin";

// One member reachable by name: the invoke kinds it answers and, for gets and
// methods, how many positional arguments it takes (a put takes just its value).
struct Member {
  const wchar_t *name;
  DISPID id;
  WORD invokeKinds;
  UINT argumentCount;
};

// What kind of object this is: its name in the log, the interfaces it answers
// with its IDispatch, the interface named in its IErrorInfo, and its members.
struct ObjectKind {
  const wchar_t *name;
  std::span<const IID> interfaces;
  const IID &errorInterface;
  std::span<const Member> members;
};

// An argument that cannot be used; `position` indexes DISPPARAMS::rgvarg.
struct ArgumentError {
  HRESULT code;
  UINT position;
};

// One call of Invoke, with its arguments in the caller's order.
class Call {
public:
  Call(DISPID member, bool put, const DISPPARAMS &params)
      : member_(member), put_(put), params_(params) {}

  DISPID member() const noexcept { return member_; }
  bool isPut() const noexcept { return put_; }
  // The value of a property put.
  std::wstring putText() const { return textAt(0); }
  std::wstring text(UINT argument) const { return textAt(rgvargIndex(argument)); }
  LONG int32(UINT argument) const;
  const VARIANT &argument(UINT argument) const { return params_.rgvarg[rgvargIndex(argument)]; }
  UINT rgvargIndex(UINT argument) const noexcept { return params_.cArgs - 1 - argument; }

private:
  std::wstring textAt(UINT position) const;

  DISPID member_;
  bool put_;
  const DISPPARAMS &params_;
};

class DispatchObject : public IDispatch, public ISupportErrorInfo {
public:
  DispatchObject(const DispatchObject &) = delete;
  DispatchObject &operator=(const DispatchObject &) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo **info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR *names, UINT count, LCID locale,
                                          DISPID *ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID locale, WORD flags,
                                   DISPPARAMS *params, VARIANT *result, EXCEPINFO *exception,
                                   UINT *argumentError) override;

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override;

protected:
  explicit DispatchObject(const ObjectKind &kind) noexcept;
  virtual ~DispatchObject();

  // Runs one validated call. Throws Fault or ArgumentError to fail it.
  virtual Variant invoke(const Call &call) = 0;
  // Lets the connection parameters be recognised from inside the stand-in.
  virtual void *implementation(REFIID) noexcept { return nullptr; }

  void log(std::wstring_view operation) const;

private:
  void logLifecycle(const wchar_t *event) const noexcept;
  const Member *memberWithId(DISPID id) const noexcept;
  HRESULT runCall(const Call &call, VARIANT *result, EXCEPINFO *exception, UINT *argumentError);

  const ObjectKind &kind_;
  LONG references_ = 1;
};

// Creates a stand-in object, holding its first reference.
template <typename T, typename... Args> Microsoft::WRL::ComPtr<T> makeObject(Args &&...args) {
  Microsoft::WRL::ComPtr<T> object;
  // Not Attach: MinGW's ComPtr::Attach adds a reference of its own.
  *object.GetAddressOf() = new (std::nothrow) T(std::forward<Args>(args)...);
  if (!object)
    throw std::bad_alloc();
  return object;
}

// The value of an outcome, or its fault thrown for Invoke to report.
template <typename T> T take(std::variant<T, Fault> outcome) {
  if (auto *fault = std::get_if<Fault>(&outcome))
    throw std::move(*fault);
  return std::get<T>(std::move(outcome));
}

// Throws the fault, if there is one.
void raise(const std::optional<Fault> &fault);

} // namespace standin
