#pragma once
// The parameter string in which the host keeps a check's settings:
// "#VSTP=VMWARE#USR=<user>#PWD=<encoded password>#VMN=<machine>#VMS=<state>#".
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace brennow {

// Value of the field `key` (matched ignoring letter case, key trimmed of spaces),
// with the case and blanks it has in `parameters`; "" when absent. `quoted` reads
// the form #KEY="value"# in which the value may contain "#". Never fails.
std::wstring getParam(std::wstring_view parameters, std::wstring_view key, bool quoted = false);

// Upper-case form of one character, as the platform upper-cases text (one character
// always maps to one character, so positions in the copy match the original).
wchar_t upperChar(wchar_t c);

struct ParameterFields {
  std::wstring username;
  std::wstring encodedPassword;
  std::wstring vmName;
  std::wstring vmState;
};

// The string the settings dialog writes: the five fields in their fixed order, user
// name, machine name and state trimmed of spaces, the encoded password as it is.
std::wstring buildParameterString(const ParameterFields &fields);

// A field of a vSphere check beyond the five (CHK, MINFREE, ...).
struct CheckField {
  std::wstring_view key;
  std::wstring value;
};

// The string written for a vSphere server: the same fields after "VSTP=VSPHERE", then THUMB
// (`thumbprint` as it is), then `checkFields` in their order.
std::wstring buildVSphereParameterString(const ParameterFields &fields,
                                         std::wstring_view thumbprint,
                                         std::span<const CheckField> checkFields = {});

// The parameter string built by the latest OK of the settings dialog on this thread;
// no value until the first OK.
std::optional<std::wstring> &newParameter();

} // namespace brennow
