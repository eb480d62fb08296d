#include "common/AutomationError.h"

namespace brennow {

std::wstring runtimeErrorDescription(int number) {
  switch (number) {
  case kInvalidProcedureCall:
    return L"Invalid procedure call or argument";
  case kTypeMismatch:
    return L"Type mismatch";
  case kObjectRequired:
    return L"Object required";
  default:
    return L"Application-defined or object-defined error";
  }
}

AutomationError runtimeError(int number) {
  return AutomationError(runtimeErrorHresult(number), runtimeErrorDescription(number));
}

} // namespace brennow
