#include "vmserver/ServerChoice.h"

#include "params/Generic.h"

namespace brennow::vmserver {

ServerKind serverKindOf(const std::wstring &parameterText) {
  std::wstring kind = getParam(parameterText, L"VSTP");
  for (wchar_t &c : kind)
    c = upperChar(c);
  return kind == L"VSPHERE" ? ServerKind::VSphere : ServerKind::Automation;
}

ServerChoice serverChoiceOf(const std::wstring &parameterText, const std::wstring &timeoutText) {
  return {serverKindOf(parameterText), getParam(parameterText, L"THUMB"), timeoutText};
}

} // namespace brennow::vmserver
