#pragma once
// RAII owners for the automation types, and the text conversion the component uses.
#include <windows.h>
#include <oleauto.h>

#include <span>
#include <string>
#include <string_view>

#include "common/AutomationError.h"

namespace brennow::win {

// Owns one BSTR.
class Bstr {
public:
  Bstr() noexcept = default;
  explicit Bstr(std::wstring_view text);
  Bstr(const Bstr &) = delete;
  Bstr &operator=(const Bstr &) = delete;
  Bstr(Bstr &&other) noexcept : value_(other.release()) {}
  Bstr &operator=(Bstr &&other) noexcept;
  ~Bstr() { SysFreeString(value_); }

  BSTR get() const noexcept { return value_; }
  BSTR *out() noexcept; // frees the current value first
  BSTR release() noexcept;
  std::wstring text() const { return std::wstring(value_, SysStringLen(value_)); }

private:
  BSTR value_ = nullptr;
};

// Owns one VARIANT (cleared on destruction).
class Variant {
public:
  Variant() noexcept { VariantInit(&value_); }
  Variant(const Variant &) = delete;
  Variant &operator=(const Variant &) = delete;
  Variant(Variant &&other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
  Variant &operator=(Variant &&other) noexcept;
  ~Variant() { VariantClear(&value_); }

  // A VT_BSTR (throws AutomationError without memory), a VT_I4, and a VT_DISPATCH that
  // holds a reference of its own to `object`.
  static Variant fromText(std::wstring_view text);
  static Variant fromInt32(LONG value) noexcept;
  static Variant fromDispatch(IDispatch *object) noexcept;

  VARIANT *get() noexcept { return &value_; }
  const VARIANT *get() const noexcept { return &value_; }
  VARIANT *out() noexcept; // clears the current value first
  void detachTo(VARIANT *destination) noexcept;

private:
  VARIANT value_;
};

// Arguments of a call that borrow what they point at: the caller keeps it alive, and
// nothing is freed, during the call.
inline VARIANT textArgument(const Bstr &text) noexcept {
  VARIANT argument;
  V_VT(&argument) = VT_BSTR;
  V_BSTR(&argument) = text.get();
  return argument;
}
inline VARIANT int32Argument(LONG value) noexcept {
  VARIANT argument;
  V_VT(&argument) = VT_I4;
  V_I4(&argument) = value;
  return argument;
}
inline VARIANT objectArgument(IDispatch *object) noexcept {
  VARIANT argument;
  V_VT(&argument) = VT_DISPATCH;
  V_DISPATCH(&argument) = object;
  return argument;
}

// oleaut32 takes source variants by non-const pointer without changing them.
inline VARIANT *source(const VARIANT &value) noexcept { return const_cast<VARIANT *>(&value); }

// The variant's value as text, the way automation hosts convert (Booleans as
// "True"/"False", by-reference values resolved). Throws AutomationError.
std::wstring variantText(const VARIANT &value);

// Describes a failed HRESULT: the thread's IErrorInfo when it has one, else the
// system's message for the code; never empty. Callers clear the thread's error
// information before the failing call, so that nothing older is reported.
std::wstring describeHresult(HRESULT hr);

// Makes `description` the thread's error information for a failing call on `iid`.
void setErrorInfo(REFIID iid, std::wstring_view source, std::wstring_view description);

// Throws AutomationError for a failed HRESULT (with describeHresult's text).
void throwIfFailed(HRESULT hr);

// Owns the strings of one EXCEPINFO that a failed Invoke filled.
class ExcepInfo {
public:
  ExcepInfo() noexcept = default;
  ExcepInfo(const ExcepInfo &) = delete;
  ExcepInfo &operator=(const ExcepInfo &) = delete;
  ExcepInfo(ExcepInfo &&other) noexcept;
  ExcepInfo &operator=(ExcepInfo &&other) noexcept;
  ~ExcepInfo() { clear(); }

  EXCEPINFO *get() noexcept { return &info_; }
  const EXCEPINFO &info() const noexcept { return info_; }

  // Asks the callee for the texts it deferred, when it deferred them.
  void fillIn() noexcept;
  std::wstring source() const;
  std::wstring description() const;
  void clear() noexcept;

private:
  EXCEPINFO info_{};
};

// One late-bound call as a client without type information makes it: the member's
// DISPID by name, then Invoke with `arguments` in call order (DISPPARAMS holds them
// reversed); a put or putref passes its value as the named argument DISPID_PROPERTYPUT.
// Returns what GetIDsOfNames or Invoke returned.
HRESULT invokeByName(IDispatch *object, const wchar_t *member, WORD flags,
                     std::span<const VARIANT> arguments, VARIANT *result, ExcepInfo &exception,
                     UINT *argumentError = nullptr);

// The failure of a call: for DISP_E_EXCEPTION the EXCEPINFO's code and description
// (after the deferred fill-in); without a description, or for any other code, the
// thread's IErrorInfo, else the system's text (describeHresult).
AutomationError callFailure(HRESULT hr, ExcepInfo &exception);

// invokeByName as this code's own calls make it: older error information cleared first,
// a failure thrown as callFailure's AutomationError.
void callByName(IDispatch *object, const wchar_t *member, WORD flags,
                std::span<const VARIANT> arguments = {}, VARIANT *result = nullptr);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", as the registry writes GUIDs.
std::wstring guidText(REFGUID guid);

// The module (DLL or program) that holds this code, and its full path ("" on failure).
HMODULE thisModule() noexcept;
std::wstring thisModulePath();

} // namespace brennow::win
