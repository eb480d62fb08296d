#include "tests/wine/image/TypeLibText.h"

#include <wrl/client.h>

#include <cwchar>

#include "common/win/automation.h"

using brennow::win::Bstr;
using brennow::win::guidText;
using Microsoft::WRL::ComPtr;

namespace image {

namespace {

std::wstring hex(unsigned long value) {
  wchar_t text[16];
  std::swprintf(text, std::size(text), L"0x%lX", value);
  return text;
}

std::wstring nameOf(ITypeInfo *info, MEMBERID member = MEMBERID_NIL) {
  Bstr name;
  if (FAILED(info->GetDocumentation(member, name.out(), nullptr, nullptr, nullptr)))
    return L"<no name>";
  return name.text();
}

std::wstring typeText(ITypeInfo *owner, const TYPEDESC &type) {
  switch (type.vt) {
  case VT_PTR:
    return typeText(owner, *type.lptdesc) + L"*";
  case VT_SAFEARRAY:
    return L"SAFEARRAY(" + typeText(owner, *type.lptdesc) + L")";
  case VT_USERDEFINED: {
    ComPtr<ITypeInfo> referenced;
    if (FAILED(owner->GetRefTypeInfo(type.hreftype, &referenced)))
      return L"<unresolved type>";
    return nameOf(referenced.Get());
  }
  default:
    return L"vt" + std::to_wstring(type.vt);
  }
}

// Owns what GetTypeAttr, GetFuncDesc and GetVarDesc hand out.
struct TypeAttr {
  ITypeInfo *info;
  TYPEATTR *attr = nullptr;
  explicit TypeAttr(ITypeInfo *owner) : info(owner) { info->GetTypeAttr(&attr); }
  ~TypeAttr() {
    if (attr)
      info->ReleaseTypeAttr(attr);
  }
  TypeAttr(const TypeAttr &) = delete;
  TypeAttr &operator=(const TypeAttr &) = delete;
};
struct FuncDesc {
  ITypeInfo *info;
  FUNCDESC *desc = nullptr;
  FuncDesc(ITypeInfo *owner, UINT index) : info(owner) { info->GetFuncDesc(index, &desc); }
  ~FuncDesc() {
    if (desc)
      info->ReleaseFuncDesc(desc);
  }
  FuncDesc(const FuncDesc &) = delete;
  FuncDesc &operator=(const FuncDesc &) = delete;
};
struct VarDesc {
  ITypeInfo *info;
  VARDESC *desc = nullptr;
  VarDesc(ITypeInfo *owner, UINT index) : info(owner) { info->GetVarDesc(index, &desc); }
  ~VarDesc() {
    if (desc)
      info->ReleaseVarDesc(desc);
  }
  VarDesc(const VarDesc &) = delete;
  VarDesc &operator=(const VarDesc &) = delete;
};

// The member's name and its parameters' names, as GetNames gives them.
std::wstring namesOf(ITypeInfo *info, MEMBERID member) {
  BSTR raw[16] = {};
  UINT count = 0;
  if (FAILED(info->GetNames(member, raw, static_cast<UINT>(std::size(raw)), &count)))
    return L"<no names>";
  std::wstring names;
  for (UINT i = 0; i < count; ++i) {
    Bstr owned;
    *owned.out() = raw[i];
    names += (i ? L"," : L"") + owned.text();
  }
  return names;
}

void describeFunction(ITypeInfo *info, UINT index, std::vector<std::wstring> &lines) {
  const FuncDesc func(info, index);
  if (!func.desc) {
    lines.push_back(L"  function " + std::to_wstring(index) + L": no description");
    return;
  }
  const FUNCDESC &f = *func.desc;
  lines.push_back(L"  function " + namesOf(info, f.memid) + L" id " + hex(f.memid) + L" invoke " +
                  std::to_wstring(f.invkind) + L" kind " + std::to_wstring(f.funckind) + L" call " +
                  std::to_wstring(f.callconv) + L" slot " +
                  std::to_wstring(f.oVft / static_cast<SHORT>(sizeof(void *))) + L" flags " +
                  hex(f.wFuncFlags) + L" optional " + std::to_wstring(f.cParamsOpt) + L" returns " +
                  typeText(info, f.elemdescFunc.tdesc));
  for (SHORT i = 0; i < f.cParams; ++i) {
    const ELEMDESC &param = f.lprgelemdescParam[i];
    lines.push_back(L"    parameter " + typeText(info, param.tdesc) + L" flags " +
                    hex(param.paramdesc.wParamFlags));
  }
}

void describeVariable(ITypeInfo *info, UINT index, std::vector<std::wstring> &lines) {
  const VarDesc var(info, index);
  if (!var.desc) {
    lines.push_back(L"  variable " + std::to_wstring(index) + L": no description");
    return;
  }
  lines.push_back(L"  variable " + nameOf(info, var.desc->memid) + L" id " + hex(var.desc->memid) +
                  L" kind " + std::to_wstring(var.desc->varkind) + L" type " +
                  typeText(info, var.desc->elemdescVar.tdesc));
}

// The vtable's size is left out: Wine gives a 32-bit library's vtable part in 4-byte slots and
// its dispatch part in the process's own; each function's slot says the same for both.
void describeType(ITypeInfo *info, const std::wstring &title, std::vector<std::wstring> &lines) {
  const TypeAttr type(info);
  if (!type.attr) {
    lines.push_back(title + L": no attributes");
    return;
  }
  const TYPEATTR &a = *type.attr;
  lines.push_back(title + L" " + nameOf(info) + L" " + guidText(a.guid) + L" kind " +
                  std::to_wstring(a.typekind) + L" flags " + hex(a.wTypeFlags) + L" version " +
                  std::to_wstring(a.wMajorVerNum) + L"." + std::to_wstring(a.wMinorVerNum) +
                  L" functions " + std::to_wstring(a.cFuncs) + L" variables " +
                  std::to_wstring(a.cVars));
  for (UINT i = 0; i < a.cImplTypes; ++i) {
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> implemented;
    INT flags = 0;
    info->GetImplTypeFlags(i, &flags);
    if (SUCCEEDED(info->GetRefTypeOfImplType(i, &ref)) &&
        SUCCEEDED(info->GetRefTypeInfo(ref, &implemented)))
      lines.push_back(L"  implements " + nameOf(implemented.Get()) + L" flags " + hex(flags));
    else
      lines.push_back(L"  implements " + std::to_wstring(i) + L": unresolved");
  }
  for (UINT i = 0; i < a.cFuncs; ++i)
    describeFunction(info, i, lines);
  for (UINT i = 0; i < a.cVars; ++i)
    describeVariable(info, i, lines);
}

// The vtable part of a dual interface, reached through implemented type -1.
ComPtr<ITypeInfo> vtablePart(ITypeInfo *dispatchPart) {
  HREFTYPE ref = 0;
  ComPtr<ITypeInfo> part;
  if (SUCCEEDED(dispatchPart->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref)))
    dispatchPart->GetRefTypeInfo(ref, &part);
  return part;
}

bool isDual(ITypeInfo *info) {
  const TypeAttr type(info);
  return type.attr && type.attr->typekind == TKIND_DISPATCH &&
         (type.attr->wTypeFlags & TYPEFLAG_FDUAL);
}

void describeLibrary(ITypeLib *library, std::vector<std::wstring> &lines) {
  TLIBATTR *attr = nullptr;
  if (FAILED(library->GetLibAttr(&attr))) {
    lines.push_back(L"library: no attributes");
    return;
  }
  Bstr name, help;
  library->GetDocumentation(-1, name.out(), nullptr, nullptr, help.out());
  const std::wstring helpFile = help.text();
  lines.push_back(L"library " + name.text() + L" " + guidText(attr->guid) + L" version " +
                  std::to_wstring(attr->wMajorVerNum) + L"." + std::to_wstring(attr->wMinorVerNum) +
                  L" locale " + hex(attr->lcid) + L" flags " + hex(attr->wLibFlags) +
                  L" help file " + helpFile.substr(helpFile.find_last_of(L"\\/") + 1) + L" types " +
                  std::to_wstring(library->GetTypeInfoCount()));
  library->ReleaseTLibAttr(attr);
}

} // namespace

std::vector<std::wstring> describeTypeLibrary(ITypeLib *library) {
  std::vector<std::wstring> lines;
  describeLibrary(library, lines);
  for (UINT i = 0; i < library->GetTypeInfoCount(); ++i) {
    ComPtr<ITypeInfo> info;
    if (FAILED(library->GetTypeInfo(i, &info))) {
      lines.push_back(L"type " + std::to_wstring(i) + L": unreadable");
      continue;
    }
    describeType(info.Get(), L"type", lines);
    if (isDual(info.Get())) {
      if (const auto part = vtablePart(info.Get()))
        describeType(part.Get(), L"vtable part of", lines);
      else
        lines.push_back(L"vtable part: unresolved");
    }
  }
  return lines;
}

} // namespace image
