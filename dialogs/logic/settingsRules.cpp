#include "dialogs/logic/settingsRules.h"

#include <string_view>

#include "common/text.h"
#include "params/Generic.h"
#include "params/VSphereChecks.h"
#include "params/base64.h"

namespace brennow::dialogs {
namespace {

bool hasFieldSeparator(const std::wstring &text) { return text.find(L'#') != std::wstring::npos; }

} // namespace

std::wstring settingsTitle(std::uint16_t major, std::uint16_t minor, std::uint16_t revision) {
  return L"ZAzire Razoro/ROZ/IDU Veruzuz Ededevi Dodorav (version " +
         trimSpaces(numberText(major)) + L"." + trimSpaces(numberText(minor)) + L" build " +
         numberText(revision) + L")";
}

std::optional<std::wstring> refusalMessage(const SettingsInput &input,
                                           const AnsiCodePage &codePage) {
  if (hasFieldSeparator(input.username))
    return L"The user name must not contain \"#\".";
  if (!codePage.canRepresent(input.password))
    return L"The password must consist of characters of the system's ANSI code page.";
  if (hasFieldSeparator(input.vmName))
    return L"The virtual machine name must not contain \"#\".";
  if (hasFieldSeparator(input.vmState))
    return L"The state must not contain \"#\".";
  return std::nullopt;
}

std::vector<CheckField> checkFieldsOf(std::wstring_view parameters) {
  std::vector<CheckField> fields;
  for (std::wstring_view key : vsphereCheckKeys())
    if (std::wstring value = getParam(parameters, key); !value.empty())
      fields.push_back({key, std::move(value)});
  return fields;
}

std::wstring settingsParameterString(const SettingsInput &input, const AnsiCodePage &codePage) {
  const ParameterFields fields{input.username, base64Encode(input.password, codePage), input.vmName,
                               input.vmState};
  if (input.kind == vmserver::ServerKind::Automation)
    return buildParameterString(fields);
  return buildVSphereParameterString(fields, trimSpaces(input.thumbprint), input.checkFields);
}

} // namespace brennow::dialogs
