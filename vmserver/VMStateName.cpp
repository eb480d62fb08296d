#include "vmserver/VMServer.h"

namespace brennow::vmserver {

std::wstring VMStateName(const std::int32_t &executionState) {
  switch (executionState) {
  case 1:
    return L"on";
  case 2:
    return L"off";
  case 3:
    return L"suspended";
  default:
    return L"stuck";
  }
}

} // namespace brennow::vmserver
