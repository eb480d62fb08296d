#include "params/Generic.h"

#include "common/PerThread.h"
#include "common/text.h"
#include "params/Keys.h"

namespace brennow {

namespace {

std::wstring upperCopy(std::wstring_view text) {
  std::wstring upper(text);
  for (auto &c : upper)
    c = upperChar(c);
  return upper;
}

// First position at which the upper-case form of `text` holds `upperNeedle`. The needle
// starts with "#", and upper-casing never makes or unmakes "#", "=" or a double quote, so
// only the candidates that start with "#" are compared, without copying the text.
std::size_t findUpperCase(std::wstring_view text, std::wstring_view upperNeedle) {
  for (auto at = text.find(L'#'); at != std::wstring_view::npos; at = text.find(L'#', at + 1)) {
    if (text.size() - at < upperNeedle.size())
      return std::wstring_view::npos;
    std::size_t k = 1;
    while (k < upperNeedle.size() && upperChar(text[at + k]) == upperNeedle[k])
      ++k;
    if (k == upperNeedle.size())
      return at;
  }
  return std::wstring_view::npos;
}

} // namespace

// Positions are 0-based here. Key matching ignores letter case as if the whole string
// were upper-cased; the end markers ("#", a double quote) are the same in either case.
std::wstring getParam(std::wstring_view parameters, std::wstring_view key, bool quoted) {
  const std::wstring upperKey = trimSpaces(upperCopy(key));

  std::wstring needle = L"#" + upperKey + L"=";
  if (quoted)
    needle += L'"';

  const auto fieldStart = findUpperCase(parameters, needle);
  if (fieldStart == std::wstring_view::npos)
    return {};

  // The value starts right after "=" (in quoted form, at the opening double quote).
  const auto valueStart = fieldStart + upperKey.size() + 2;
  auto valueEnd =
      quoted ? parameters.find(L"\"#", valueStart + 1) : parameters.find(L'#', fieldStart + 1);
  if (valueEnd == std::wstring_view::npos)
    valueEnd = parameters.size();

  // A key containing "#" ends the value before it starts: nothing can be cut out.
  if (valueEnd < valueStart)
    return {};

  std::wstring value(parameters.substr(valueStart, valueEnd - valueStart));
  if (quoted && !value.empty() && value.front() == L'"')
    value.erase(0, 1);
  return value;
}

namespace {

std::wstring field(std::wstring_view key, std::wstring_view value) {
  return std::wstring(key) + L"=" + std::wstring(value) + L"#";
}

std::wstring fieldsAfterServerType(const ParameterFields &fields) {
  return field(keys::User, trimSpaces(fields.username)) +
         field(keys::Password, fields.encodedPassword) +
         field(keys::Machine, trimSpaces(fields.vmName)) +
         field(keys::State, trimSpaces(fields.vmState));
}

} // namespace

std::wstring buildParameterString(const ParameterFields &fields) {
  return L"#" + field(keys::ServerType, keys::AutomationServer) + fieldsAfterServerType(fields);
}

std::wstring buildVSphereParameterString(const ParameterFields &fields,
                                         std::wstring_view thumbprint,
                                         std::span<const CheckField> checkFields) {
  std::wstring text = L"#" + field(keys::ServerType, keys::VSphereServer) +
                      fieldsAfterServerType(fields) + field(keys::Thumbprint, thumbprint);
  for (const CheckField &checkField : checkFields)
    text += field(checkField.key, checkField.value);
  return text;
}

std::optional<std::wstring> &newParameter() {
  // A tag type keeps this slot apart from other per-thread values of the same type.
  struct NewParameter : std::optional<std::wstring> {};
  return perThread<NewParameter>();
}

} // namespace brennow
