#include "params/VSphereChecks.h"

#include <algorithm>
#include <array>

#include "common/text.h"
#include "params/Generic.h"
#include "params/Keys.h"

namespace brennow {
namespace {

constexpr std::array kChecks = {
    CheckDescription{VSphereCheck::MachineState, L"", L"", keys::Machine, false, std::nullopt,
                     false, L"Machine state", L"virtual machine"},
    CheckDescription{VSphereCheck::Guest, L"GUEST", L"guest", keys::Machine, true, std::nullopt,
                     false, L"Guest alive", L"virtual machine"},
    CheckDescription{
        VSphereCheck::Datastore, L"DATASTORE", L"datastore", keys::Datastore, false,
        NumberKey{keys::MinFree, 0, 100, 10, L"%", L"at least", L"% free", L"free space"}, false,
        L"Datastore space", L"datastore"},
    CheckDescription{
        VSphereCheck::Snapshot, L"SNAPSHOT", L"snapshot", keys::Machine, false,
        NumberKey{keys::MaxAge, 1, 3650, 7, L"days", L"at most", L"days old", L"snapshot age"},
        false, L"Snapshot age", L"virtual machine"},
    CheckDescription{VSphereCheck::Host, L"HOST", L"host", keys::HostSystem, false, std::nullopt,
                     false, L"Host state", L"host"},
    CheckDescription{VSphereCheck::Alarm, L"ALARM", L"alarm", L"", false, std::nullopt, true,
                     L"Triggered alarms", L""},
};

constexpr std::array kCheckKeys = {keys::Check,  keys::Datastore,  keys::MinFree,
                                   keys::MaxAge, keys::HostSystem, keys::AlarmStatus};

std::wstring upper(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t &c : out)
    c = upperChar(c);
  return out;
}

std::wstring quoted(std::wstring_view text) { return L" (it is \"" + std::wstring(text) + L"\")"; }

std::wstring checkNames() {
  std::wstring names;
  for (const CheckDescription &check : kChecks) {
    if (check.name.empty())
      continue;
    names += names.empty() ? L"" : L", ";
    names += check.name;
  }
  return names;
}

} // namespace

std::span<const CheckDescription> vsphereChecks() { return kChecks; }

const CheckDescription &describe(VSphereCheck check) {
  return *std::find_if(kChecks.begin(), kChecks.end(),
                       [&](const CheckDescription &c) { return c.check == check; });
}

const CheckDescription *checkNamed(std::wstring_view name) {
  const std::wstring wanted = upper(trimSpaces(name));
  const auto found = std::find_if(kChecks.begin(), kChecks.end(),
                                  [&](const CheckDescription &c) { return c.name == wanted; });
  return found == kChecks.end() ? nullptr : &*found;
}

std::span<const std::wstring_view> vsphereCheckKeys() { return kCheckKeys; }

std::optional<std::wstring> thresholdRefusal(const NumberKey &key, std::wstring_view text) {
  const std::wstring digits = trimSpaces(text);
  const bool whole =
      !digits.empty() && digits.size() <= 9 &&
      std::all_of(digits.begin(), digits.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
  if (digits.empty() || (whole && std::stoi(digits) >= key.min && std::stoi(digits) <= key.max))
    return std::nullopt;
  return std::wstring(key.key) + L" must be a whole number from " + std::to_wstring(key.min) +
         L" to " + std::to_wstring(key.max) + quoted(text);
}

std::optional<AlarmLevel> alarmLevelNamed(std::wstring_view text) {
  const std::wstring wanted = upper(trimSpaces(text));
  if (wanted == upper(kAlarmYellow))
    return AlarmLevel::Yellow;
  if (wanted.empty() || wanted == upper(kAlarmRed))
    return AlarmLevel::Red;
  return std::nullopt;
}

std::variant<CheckSettings, std::wstring> readCheckSettings(std::wstring_view parameters) {
  const std::wstring name = getParam(parameters, keys::Check);
  CheckSettings settings;
  settings.check = checkNamed(name);
  if (!settings.check)
    return std::wstring(keys::Check) + L" must be one of " + checkNames() + L", or empty" +
           quoted(name);
  const CheckDescription &check = *settings.check;
  if (!check.objectKey.empty())
    settings.object = getParam(parameters, check.objectKey);
  if (check.objectRequired && trimSpaces(settings.object).empty())
    return std::wstring(check.objectKey) + L" must name the virtual machine the " +
           std::wstring(check.name) + L" check looks at";
  if (check.threshold) {
    const std::wstring text = getParam(parameters, check.threshold->key);
    if (auto refusal = thresholdRefusal(*check.threshold, text))
      return *refusal;
    settings.threshold =
        trimSpaces(text).empty() ? check.threshold->fallback : std::stoi(trimSpaces(text));
  }
  if (check.alarmLevel) {
    const std::wstring level = getParam(parameters, keys::AlarmStatus);
    const std::optional<AlarmLevel> named = alarmLevelNamed(level);
    if (!named)
      return std::wstring(keys::AlarmStatus) + L" must be " + std::wstring(kAlarmRed) + L" or " +
             std::wstring(kAlarmYellow) + quoted(level);
    settings.alarmLevel = *named;
  }
  return settings;
}

} // namespace brennow
