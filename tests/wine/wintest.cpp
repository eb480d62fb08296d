#include "tests/wine/wintest.h"

#include <gtest/gtest.h>

#include <stdexcept>

using Microsoft::WRL::ComPtr;

namespace wintest {

std::wstring buildFolder() {
  std::wstring path(MAX_PATH, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring brennowPath() { return buildFolder() + L"\\brennow.dll"; }

VARIANT textVariant(const std::wstring &value) {
  VARIANT v;
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
  return v;
}

VARIANT int32Variant(LONG value) {
  VARIANT v;
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}

HRESULT invoke(IDispatch *object, const wchar_t *member, WORD flags, std::vector<VARIANT> args,
               VARIANT *result, EXCEPINFO *exception) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR name = const_cast<LPOLESTR>(member);
  HRESULT hr = object->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr))
    return hr;
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  EXCEPINFO local{};
  EXCEPINFO *info = exception ? exception : &local;
  UINT argError = 0;
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, info, &argError);
  if (!exception) {
    SysFreeString(local.bstrDescription);
    SysFreeString(local.bstrSource);
    SysFreeString(local.bstrHelpFile);
  }
  return hr;
}

HRESULT putProperty(IDispatch *object, const wchar_t *member, VARIANT value, bool byRef,
                    EXCEPINFO *exception) {
  return invoke(object, member, byRef ? DISPATCH_PROPERTYPUTREF : DISPATCH_PROPERTYPUT, {value},
                nullptr, exception);
}

ComPtr<IDispatch> createPlugin() {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(L"brennow.vmwarecom", &clsid)))
    return nullptr;
  ComPtr<IDispatch> plugin;
  CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&plugin));
  return plugin;
}

std::wstring text(const VARIANT &value) {
  if (V_VT(&value) != VT_BSTR || !V_BSTR(&value))
    return {};
  return std::wstring(V_BSTR(&value), SysStringLen(V_BSTR(&value)));
}

std::string utf8(std::wstring_view text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                      nullptr, nullptr);
  return bytes;
}

std::wstring fromUtf8(std::string_view bytes) {
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
  return text;
}

} // namespace wintest
