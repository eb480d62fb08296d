#pragma once
// An error as automation clients see it: an HRESULT and a description text.
// Portable; the COM edge turns it into IErrorInfo, the check into its "ERR: " message.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace brennow {

class AutomationError : public std::runtime_error {
public:
  AutomationError(std::int32_t hresult, std::wstring description)
      : std::runtime_error("automation error"), hresult_(hresult),
        description_(std::move(description)) {}

  std::int32_t hresult() const noexcept { return hresult_; }
  const std::wstring &description() const noexcept { return description_; }

private:
  std::int32_t hresult_;
  std::wstring description_;
};

// Run-time error numbers as automation hosts know them: error n is 0x800A0000 + n.
inline constexpr std::int32_t runtimeErrorHresult(int number) {
  return static_cast<std::int32_t>(0x800A0000u + static_cast<std::uint32_t>(number));
}

enum RuntimeErrorNumber : int {
  kInvalidProcedureCall = 5,
  kTypeMismatch = 13,
  kObjectRequired = 424,
};

// The standard description of a run-time error number ("Invalid procedure call or argument").
std::wstring runtimeErrorDescription(int number);

// An AutomationError for run-time error `number` with its standard description.
AutomationError runtimeError(int number);

} // namespace brennow
