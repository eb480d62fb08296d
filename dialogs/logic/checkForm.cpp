#include "dialogs/logic/checkForm.h"

#include <cwctype>

#include "common/text.h"
#include "dialogs/logic/settingsRules.h"
#include "params/Keys.h"

namespace brennow::dialogs {
namespace {

const CheckDescription &machineState() { return describe(VSphereCheck::MachineState); }

std::wstring labelOf(std::wstring_view noun) {
  std::wstring label(noun);
  if (!label.empty())
    label[0] = static_cast<wchar_t>(std::towupper(label[0]));
  return label + L":";
}

ListedObjects listedBy(std::wstring_view objectKey) {
  if (objectKey == keys::Datastore)
    return ListedObjects::Datastores;
  if (objectKey == keys::HostSystem)
    return ListedObjects::Hosts;
  return ListedObjects::Machines;
}

// Whether `key` is one of the check's own keys after THUMB (CHK aside).
bool ownsCheckKey(const CheckDescription &check, std::wstring_view key) {
  return (key != keys::Machine && key == check.objectKey) ||
         (check.threshold && key == check.threshold->key) ||
         (check.alarmLevel && key == keys::AlarmStatus);
}

std::wstring valueRead(const std::vector<CheckField> &fields, std::wstring_view key) {
  for (const CheckField &field : fields)
    if (field.key == key)
      return field.value;
  return {};
}

std::wstring orDefault(std::wstring text, std::wstring_view fallback) {
  return trimSpaces(text).empty() ? std::wstring(fallback) : text;
}

bool hasFieldSeparator(const std::wstring &text) { return text.find(L'#') != std::wstring::npos; }

} // namespace

CheckForm::CheckForm() : CheckForm(L"", L"", L"") {}

CheckForm::CheckForm(std::wstring_view parameters, std::wstring vmName, std::wstring vmState)
    : readName_(getParam(parameters, keys::Check)), vmNameRead_(vmName), vmStateRead_(vmState),
      fieldsRead_(checkFieldsOf(parameters)) {
  read_ = checkNamed(readName_);
  const auto checks = vsphereChecks();
  chosen_ = read_ ? static_cast<std::size_t>(read_ - checks.data()) : checks.size();
  texts_[keys::Machine] = std::move(vmName);
  texts_[keys::State] = std::move(vmState);
  texts_[keys::Datastore] = getParam(parameters, keys::Datastore);
  texts_[keys::HostSystem] = getParam(parameters, keys::HostSystem);
  texts_[keys::AlarmStatus] = orDefault(getParam(parameters, keys::AlarmStatus), kAlarmRed);
  for (const CheckDescription &check : checks)
    if (check.threshold)
      texts_[check.threshold->key] = orDefault(getParam(parameters, check.threshold->key),
                                               std::to_wstring(check.threshold->fallback));
}

std::vector<std::wstring> CheckForm::entries() const {
  std::vector<std::wstring> entries;
  for (const CheckDescription &check : vsphereChecks())
    entries.emplace_back(check.title);
  if (!read_)
    entries.push_back(std::wstring(keys::Check) + L"=" + trimSpaces(readName_) +
                      L" (kept as it is)");
  return entries;
}

void CheckForm::choose(std::size_t entry) {
  if (entry < entries().size())
    chosen_ = entry;
}

const CheckDescription *CheckForm::chosenCheck() const {
  const auto checks = vsphereChecks();
  return chosen_ < checks.size() ? &checks[chosen_] : nullptr;
}

CheckRows CheckForm::rows(vmserver::ServerKind kind) const {
  const CheckDescription *check =
      kind == vmserver::ServerKind::Automation ? &machineState() : chosenCheck();
  CheckRows rows;
  if (!check)
    return rows;
  if (!check->objectKey.empty()) {
    rows.objectKey = check->objectKey;
    rows.objectLabel = labelOf(check->objectNoun);
    rows.listed = listedBy(check->objectKey);
  }
  if (check->check == VSphereCheck::MachineState) {
    rows.comparison = Comparison::State;
    rows.comparisonKey = keys::State;
    rows.before = kStateLabel;
  } else if (check->threshold) {
    rows.comparison = Comparison::Threshold;
    rows.comparisonKey = check->threshold->key;
    rows.before = std::wstring(check->threshold->before) + L" ";
    rows.after = check->threshold->after;
  } else if (check->alarmLevel) {
    rows.comparison = Comparison::AlarmLevel;
    rows.comparisonKey = keys::AlarmStatus;
    rows.before = std::wstring(kAlarmLevelLabel) + L" ";
  }
  return rows;
}

const std::wstring &CheckForm::text(std::wstring_view key) const {
  static const std::wstring none;
  const auto found = texts_.find(key);
  return found == texts_.end() ? none : found->second;
}

void CheckForm::setText(std::wstring_view key, std::wstring text) {
  if (const auto found = texts_.find(key); found != texts_.end())
    found->second = std::move(text);
}

std::optional<std::wstring> CheckForm::refusal() const {
  const CheckDescription *check = chosenCheck();
  if (!check)
    return std::nullopt;
  if (!check->objectKey.empty()) {
    const std::wstring &object = text(check->objectKey);
    const std::wstring noun(check->objectNoun);
    if (hasFieldSeparator(object))
      return L"The " + noun + L" name must not contain \"#\".";
    if (check->objectRequired && trimSpaces(object).empty())
      return L"The " + std::wstring(check->title) + L" check needs the name of a " + noun + L".";
  }
  if (const auto &threshold = check->threshold;
      threshold && thresholdRefusal(*threshold, text(threshold->key)))
    return L"The " + std::wstring(threshold->meaning) + L" must be a whole number from " +
           std::to_wstring(threshold->min) + L" to " + std::to_wstring(threshold->max) + L".";
  if (check->alarmLevel && !alarmLevelNamed(text(keys::AlarmStatus)))
    return L"The alarm status must be " + std::wstring(kAlarmRed) + L" or " +
           std::wstring(kAlarmYellow) + L".";
  return std::nullopt;
}

CheckOutput CheckForm::output() const {
  const CheckDescription *check = chosenCheck();
  if (!check)
    return {vmNameRead_, vmStateRead_, fieldsRead_};
  const bool asRead = check == read_;
  CheckOutput output;
  const bool namesMachine = check->objectKey == keys::Machine;
  output.vmName = namesMachine ? text(keys::Machine) : asRead ? vmNameRead_ : L"";
  output.vmState = check->check == VSphereCheck::MachineState ? text(keys::State)
                   : asRead                                   ? vmStateRead_
                                                              : L"";
  for (std::wstring_view key : vsphereCheckKeys()) {
    if (key == keys::Check) {
      if (!check->name.empty())
        output.checkFields.push_back({key, std::wstring(check->name)});
    } else if (ownsCheckKey(*check, key)) {
      output.checkFields.push_back({key, trimSpaces(text(key))});
    } else if (std::wstring value = valueRead(fieldsRead_, key); asRead && !value.empty()) {
      output.checkFields.push_back({key, std::move(value)});
    }
  }
  return output;
}

} // namespace brennow::dialogs
