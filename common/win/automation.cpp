#include "common/win/automation.h"

#include <wrl/client.h>

#include <iterator>
#include <utility>
#include <vector>

#include "common/AutomationError.h"

using Microsoft::WRL::ComPtr;

namespace brennow::win {

Bstr::Bstr(std::wstring_view text)
    : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
  if (!value_ && !text.empty())
    throw AutomationError(E_OUTOFMEMORY, L"Out of memory");
}

Bstr &Bstr::operator=(Bstr &&other) noexcept {
  if (this != &other) {
    SysFreeString(value_);
    value_ = other.release();
  }
  return *this;
}

BSTR *Bstr::out() noexcept {
  SysFreeString(value_);
  value_ = nullptr;
  return &value_;
}

BSTR Bstr::release() noexcept { return std::exchange(value_, nullptr); }

Variant &Variant::operator=(Variant &&other) noexcept {
  if (this != &other) {
    VariantClear(&value_);
    value_ = other.value_;
    VariantInit(&other.value_);
  }
  return *this;
}

Variant Variant::fromText(std::wstring_view text) {
  Bstr owned(text);
  Variant result;
  V_VT(&result.value_) = VT_BSTR;
  V_BSTR(&result.value_) = owned.release();
  return result;
}

Variant Variant::fromInt32(LONG value) noexcept {
  Variant result;
  V_VT(&result.value_) = VT_I4;
  V_I4(&result.value_) = value;
  return result;
}

Variant Variant::fromDispatch(IDispatch *object) noexcept {
  Variant result;
  V_VT(&result.value_) = VT_DISPATCH;
  V_DISPATCH(&result.value_) = ComPtr<IDispatch>(object).Detach();
  return result;
}

VARIANT *Variant::out() noexcept {
  VariantClear(&value_);
  return &value_;
}

void Variant::detachTo(VARIANT *destination) noexcept {
  *destination = value_;
  VariantInit(&value_);
}

std::wstring variantText(const VARIANT &value) {
  // Text already: the conversion would only copy it (the listing reads every name so).
  if (V_VT(&value) == VT_BSTR)
    return std::wstring(V_BSTR(&value), SysStringLen(V_BSTR(&value)));
  // Converting an object calls its default member; only what that call reports counts.
  SetErrorInfo(0, nullptr);
  Variant text;
  const HRESULT hr = VariantChangeTypeEx(text.get(), source(value), LOCALE_USER_DEFAULT,
                                         VARIANT_ALPHABOOL, VT_BSTR);
  throwIfFailed(hr);
  const BSTR bstr = V_BSTR(text.get());
  return std::wstring(bstr, SysStringLen(bstr));
}

namespace {

std::wstring systemMessage(HRESULT hr) {
  LPWSTR buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::wstring message(buffer ? buffer : L"", length);
  LocalFree(buffer);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
    message.pop_back();
  return message;
}

std::wstring errorInfoDescription() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, &info) != S_OK || !info)
    return {};
  Bstr description;
  if (FAILED(info->GetDescription(description.out())) || !description.get())
    return {};
  return description.text();
}

// Texts for the codes a check meets most, for systems whose message table lacks them.
std::wstring knownDescription(HRESULT hr) {
  switch (hr) {
  case DISP_E_TYPEMISMATCH:
    return runtimeErrorDescription(kTypeMismatch);
  case DISP_E_OVERFLOW:
    return L"Overflow";
  case REGDB_E_CLASSNOTREG:
    return L"Class not registered";
  case E_OUTOFMEMORY:
    return L"Out of memory";
  default:
    return {};
  }
}

} // namespace

std::wstring describeHresult(HRESULT hr) {
  if (auto fromInfo = errorInfoDescription(); !fromInfo.empty())
    return fromInfo;
  if ((static_cast<DWORD>(hr) & 0xFFFF0000u) == 0x800A0000u)
    return runtimeErrorDescription(static_cast<int>(hr & 0xFFFF));
  if (auto fromSystem = systemMessage(hr); !fromSystem.empty())
    return fromSystem;
  if (auto known = knownDescription(hr); !known.empty())
    return known;
  wchar_t code[32];
  wsprintfW(code, L"Automation error 0x%08X", static_cast<unsigned>(hr));
  return code;
}

void setErrorInfo(REFIID iid, std::wstring_view source, std::wstring_view description) {
  ComPtr<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(&create)))
    return;
  const std::wstring sourceText(source), descriptionText(description);
  create->SetGUID(iid);
  create->SetSource(const_cast<LPOLESTR>(sourceText.c_str()));
  create->SetDescription(const_cast<LPOLESTR>(descriptionText.c_str()));
  ComPtr<IErrorInfo> info;
  if (SUCCEEDED(create.As(&info)))
    SetErrorInfo(0, info.Get());
}

void throwIfFailed(HRESULT hr) {
  if (FAILED(hr))
    throw AutomationError(hr, describeHresult(hr));
}

ExcepInfo::ExcepInfo(ExcepInfo &&other) noexcept : info_(std::exchange(other.info_, {})) {}

ExcepInfo &ExcepInfo::operator=(ExcepInfo &&other) noexcept {
  if (this != &other) {
    clear();
    info_ = std::exchange(other.info_, {});
  }
  return *this;
}

void ExcepInfo::fillIn() noexcept {
  if (const auto deferred = std::exchange(info_.pfnDeferredFillIn, nullptr))
    deferred(&info_);
}

namespace {
std::wstring bstrText(BSTR value) { return std::wstring(value, SysStringLen(value)); }
} // namespace

std::wstring ExcepInfo::source() const { return bstrText(info_.bstrSource); }
std::wstring ExcepInfo::description() const { return bstrText(info_.bstrDescription); }

void ExcepInfo::clear() noexcept {
  SysFreeString(info_.bstrSource);
  SysFreeString(info_.bstrDescription);
  SysFreeString(info_.bstrHelpFile);
  info_ = {};
}

HRESULT invokeByName(IDispatch *object, const wchar_t *member, WORD flags,
                     std::span<const VARIANT> arguments, VARIANT *result, ExcepInfo &exception,
                     UINT *argumentError) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR name = const_cast<LPOLESTR>(member);
  const HRESULT hr = object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr))
    return hr;
  std::vector<VARIANTARG> reversed(arguments.rbegin(), arguments.rend());
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  exception.clear();
  UINT ignored = 0;
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, exception.get(),
                        argumentError ? argumentError : &ignored);
}

AutomationError callFailure(HRESULT hr, ExcepInfo &exception) {
  if (hr != DISP_E_EXCEPTION)
    return AutomationError(hr, describeHresult(hr));
  exception.fillIn();
  const HRESULT code = exception.info().scode ? exception.info().scode : E_FAIL;
  std::wstring description = exception.description();
  exception.clear();
  if (description.empty())
    description = describeHresult(code);
  return AutomationError(code, std::move(description));
}

void callByName(IDispatch *object, const wchar_t *member, WORD flags,
                std::span<const VARIANT> arguments, VARIANT *result) {
  SetErrorInfo(0, nullptr);
  ExcepInfo exception;
  const HRESULT hr = invokeByName(object, member, flags, arguments, result, exception);
  if (FAILED(hr))
    throw callFailure(hr, exception);
}

std::wstring guidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, static_cast<int>(std::size(text)));
  return text;
}

HMODULE thisModule() noexcept {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&thisModule), &module);
  return module;
}

std::wstring thisModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(thisModule(), path.data(), static_cast<DWORD>(path.size()));
    if (length == 0)
      return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

} // namespace brennow::win
