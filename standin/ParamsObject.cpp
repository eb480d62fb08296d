#include "standin/ParamsObject.h"

namespace standin {

namespace {

enum : DISPID { hostnameId = 1, usernameId, passwordId };

constexpr WORD getOrPut = DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT;

constexpr Member members[] = {
    {L"Hostname", hostnameId, getOrPut, 0},
    {L"Username", usernameId, getOrPut, 0},
    {L"Password", passwordId, getOrPut, 0},
};

const ObjectKind kind{L"params", iidConnectParams, members};

const wchar_t *memberName(DISPID id) {
  for (const auto &member : members) {
    if (member.id == id)
      return member.name;
  }
  return L"?";
}

} // namespace

ParamsObject::ParamsObject() noexcept : DispatchObject(kind) {}

std::wstring &ParamsObject::field(DISPID member) {
  switch (member) {
  case hostnameId:
    return credentials_.host;
  case usernameId:
    return credentials_.user;
  default:
    return credentials_.password;
  }
}

Variant ParamsObject::invoke(const Call &call) {
  const std::wstring name = L"params." + std::wstring(memberName(call.member()));
  auto &value = field(call.member());
  if (call.isPut()) {
    value = call.putText();
    log(name + L"=" + value);
    return {};
  }
  log(name);
  return Variant::fromText(value);
}

Microsoft::WRL::ComPtr<ParamsObject> ParamsObject::fromArgument(const VARIANT &argument) {
  Variant direct;
  if (FAILED(VariantCopyInd(direct.get(), brennow::win::source(argument))))
    return nullptr;
  const VARTYPE type = V_VT(direct.get());
  if ((type != VT_DISPATCH && type != VT_UNKNOWN) || !V_UNKNOWN(direct.get()))
    return nullptr;
  Microsoft::WRL::ComPtr<IDispatch> own;
  if (FAILED(V_UNKNOWN(direct.get())->QueryInterface(iidOwnParams, &own)))
    return nullptr;
  // Only a ParamsObject answers iidOwnParams, and with its IDispatch.
  return static_cast<ParamsObject *>(own.Get());
}

} // namespace standin
