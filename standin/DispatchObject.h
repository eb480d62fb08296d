#pragma once
// The common body of every stand-in object: object counting, a hand-written IDispatch
// over a small member table, and the three ways a failing operation reports its fault
// (EXCEPINFO filled at once, EXCEPINFO filled on demand, or a plain failing HRESULT with
// IErrorInfo). Reference counting and QueryInterface are brennow::win::ComObject's.
#include "common/win/ComObject.h"
#include "standin/ComValues.h"
#include "standin/Inventory.h"

#include <windows.h>

#include <oaidl.h>

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

// What kind of object this is: its name in the log, the interface named in its
// IErrorInfo, and its members.
struct ObjectKind {
  const wchar_t *name;
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

// The part of every stand-in object that does not depend on its class: the bodies of
// IDispatch's methods, and the object's life in the count and the log.
class Dispatcher {
public:
  Dispatcher(const Dispatcher &) = delete;
  Dispatcher &operator=(const Dispatcher &) = delete;

protected:
  explicit Dispatcher(const ObjectKind &kind) noexcept;
  ~Dispatcher();

  // Runs one validated call. Throws Fault or ArgumentError to fail it.
  virtual Variant invoke(const Call &call) = 0;

  void log(std::wstring_view operation) const;

  HRESULT typeInfoCount(UINT *count) const noexcept;
  HRESULT typeInfo(ITypeInfo **info) const noexcept;
  HRESULT idsOfNames(REFIID iid, LPOLESTR *names, UINT count, DISPID *ids) const noexcept;
  HRESULT dispatch(DISPID member, REFIID iid, WORD flags, DISPPARAMS *params, VARIANT *result,
                   EXCEPINFO *exception, UINT *argumentError);

private:
  void logLifecycle(const wchar_t *event) const noexcept;
  const Member *memberWithId(DISPID id) const noexcept;
  HRESULT runCall(const Call &call, VARIANT *result, EXCEPINFO *exception, UINT *argumentError);

  const ObjectKind &kind_;
};

// A stand-in object of class `Object`. Its IDispatch answers for IDispatch and for
// `interfaces`, which are also the interfaces whose failures carry error information.
template <typename Object, const IID &...interfaces>
class DispatchObject
    : public brennow::win::ComObject<Object, brennow::win::Answers<IDispatch, interfaces...>,
                                     ISupportErrorInfo>,
      protected Dispatcher {
public:
  STDMETHODIMP GetTypeInfoCount(UINT *count) override { return typeInfoCount(count); }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo **info) override { return typeInfo(info); }
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR *names, UINT count, LCID, DISPID *ids) override {
    return idsOfNames(iid, names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID member, REFIID iid, LCID, WORD flags, DISPPARAMS *params,
                      VARIANT *result, EXCEPINFO *exception, UINT *argumentError) override {
    return dispatch(member, iid, flags, params, result, exception, argumentError);
  }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
    return iid == IID_IDispatch || ((iid == interfaces) || ...) ? S_OK : S_FALSE;
  }

protected:
  explicit DispatchObject(const ObjectKind &kind) noexcept : Dispatcher(kind) {}
};

// The value of an outcome, or its fault thrown for Invoke to report.
template <typename T> T take(std::variant<T, Fault> outcome) {
  if (auto *fault = std::get_if<Fault>(&outcome))
    throw std::move(*fault);
  return std::get<T>(std::move(outcome));
}

// Throws the fault, if there is one.
void raise(const std::optional<Fault> &fault);

} // namespace standin
