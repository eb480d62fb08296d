#include "params/Generic.h"

#include "common/PerThread.h"
#include "common/text.h"

namespace brennow {

namespace {

std::wstring upperCopy(std::wstring_view text) {
  std::wstring upper(text);
  for (auto &c : upper)
    c = upperChar(c);
  return upper;
}

} // namespace

// Positions are 0-based here. The search runs over an upper-case copy of the same
// length, so a position found in the copy is the same position in the original.
std::wstring getParam(std::wstring_view parameters, std::wstring_view key, bool quoted) {
  const std::wstring upper = upperCopy(parameters);
  const std::wstring upperKey = trimSpaces(upperCopy(key));

  std::wstring needle = L"#" + upperKey + L"=";
  if (quoted)
    needle += L'"';

  const auto fieldStart = upper.find(needle);
  if (fieldStart == std::wstring::npos)
    return {};

  // The value starts right after "=" (in quoted form, at the opening double quote).
  const auto valueStart = fieldStart + upperKey.size() + 2;
  auto valueEnd = quoted ? upper.find(L"\"#", valueStart + 1) : upper.find(L'#', fieldStart + 1);
  if (valueEnd == std::wstring::npos)
    valueEnd = parameters.size();

  // A key containing "#" ends the value before it starts: nothing can be cut out.
  if (valueEnd < valueStart)
    return {};

  std::wstring value(parameters.substr(valueStart, valueEnd - valueStart));
  if (quoted && !value.empty() && value.front() == L'"')
    value.erase(0, 1);
  return value;
}

std::wstring buildParameterString(const ParameterFields &fields) {
  return L"#VSTP=VMWARE#USR=" + trimSpaces(fields.username) + L"#PWD=" + fields.encodedPassword +
         L"#VMN=" + trimSpaces(fields.vmName) + L"#VMS=" + trimSpaces(fields.vmState) + L"#";
}

std::optional<std::wstring> &newParameter() {
  // A tag type keeps this slot apart from other per-thread values of the same type.
  struct NewParameter : std::optional<std::wstring> {};
  return perThread<NewParameter>();
}

} // namespace brennow
