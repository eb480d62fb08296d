#include "vmserver/ServerChoice.h"

#include "params/Generic.h"
#include "params/Keys.h"

namespace brennow::vmserver {

ServerKind serverKindOf(const std::wstring &parameterText) {
  std::wstring kind = getParam(parameterText, keys::ServerType);
  for (wchar_t &c : kind)
    c = upperChar(c);
  return kind == keys::VSphereServer ? ServerKind::VSphere : ServerKind::Automation;
}

ServerChoice serverChoiceOf(const std::wstring &parameterText, const std::wstring &timeoutText) {
  return {serverKindOf(parameterText), getParam(parameterText, keys::Thumbprint), timeoutText,
          getParam(parameterText, keys::Check)};
}

bool asksVSphereCheck(const ServerChoice &choice) {
  return choice.kind == ServerKind::VSphere &&
         choice.check.find_first_not_of(L' ') != std::wstring::npos;
}

} // namespace brennow::vmserver
