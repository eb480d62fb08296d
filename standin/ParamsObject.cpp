#include "standin/ParamsObject.h"

#include "standin/Guids.h"

namespace standin {

namespace {

enum : DISPID { hostnameId = 1, usernameId, passwordId };

constexpr WORD getOrPut = DISPATCH_PROPERTYGET | DISPATCH_PROPERTYPUT;

constexpr Member members[] = {
    {L"Hostname", hostnameId, getOrPut, 0},
    {L"Username", usernameId, getOrPut, 0},
    {L"Password", passwordId, getOrPut, 0},
};

constexpr IID interfaces[] = {iidConnectParams};

const ObjectKind kind{L"params", interfaces, iidConnectParams, members};

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

void *ParamsObject::implementation(REFIID iid) noexcept {
  return iid == __uuidof(ParamsObject) ? this : nullptr;
}

Microsoft::WRL::ComPtr<ParamsObject> ParamsObject::fromArgument(const VARIANT &argument) {
  Variant direct;
  if (FAILED(VariantCopyInd(direct.get(), const_cast<VARIANT *>(&argument))))
    return nullptr;
  const VARTYPE type = V_VT(direct.get());
  if ((type != VT_DISPATCH && type != VT_UNKNOWN) || !V_UNKNOWN(direct.get()))
    return nullptr;
  Microsoft::WRL::ComPtr<ParamsObject> params;
  V_UNKNOWN(direct.get())->QueryInterface(__uuidof(ParamsObject), &params);
  return params;
}

} // namespace standin
