// ALARM: no alarm triggered anywhere in the inventory (the root folder's triggered alarm
// states) has the status ALS or a worse one.
#include <array>
#include <optional>
#include <vector>

#include "component/vsphere/Judging.h"
#include "component/vsphereCheck.h"

namespace brennow::vspherecheck {

using namespace vmserver::vsphere;

namespace {

// What the message calls an object of that managed type.
std::wstring kindOf(std::wstring_view type) {
  constexpr std::array<std::pair<std::wstring_view, std::wstring_view>, 8> kinds = {{
      {L"VirtualMachine", L"virtual machine"},
      {L"HostSystem", L"host"},
      {L"Datastore", L"datastore"},
      {L"ClusterComputeResource", L"cluster"},
      {L"Datacenter", L"datacenter"},
      {L"Folder", L"folder"},
      {L"ResourcePool", L"resource pool"},
      {L"Network", L"network"},
  }};
  for (const auto &[managedType, kind] : kinds)
    if (managedType == type)
      return std::wstring(kind);
  return std::wstring(type);
}

int severityOf(const std::wstring &status) {
  if (status == L"red")
    return 2;
  return status == L"yellow" ? 1 : 0;
}

struct Triggered {
  MoRef alarm;
  MoRef entity;
  std::wstring status;
};

// The names of the alarm and of the object it was triggered on, the references where the
// server reports none.
std::pair<std::wstring, std::wstring> namesOf(Reading &reading, const Triggered &worst) {
  std::vector<MoRef> objects;
  std::vector<PropertySet> properties;
  if (!worst.alarm.value.empty()) {
    objects.push_back(worst.alarm);
    properties.push_back({type::Alarm, {path::AlarmName}});
  }
  if (!worst.entity.value.empty() && !worst.entity.type.empty()) {
    objects.push_back(worst.entity);
    properties.push_back({worst.entity.type, {path::Name}});
  }
  std::wstring alarm = worst.alarm.value, entity = worst.entity.value;
  if (objects.empty())
    return {alarm, entity};
  reading.session.retrieveObjects(objects, properties, [&](ObjectContent &object) {
    if (object.object == worst.alarm) {
      if (const Value *name = object.property(path::AlarmName))
        alarm = textOf(name);
    } else if (object.object == worst.entity) {
      if (const Value *name = object.property(path::Name))
        entity = unescapedName(name->text);
    }
  });
  return {alarm, entity};
}

} // namespace

Outcome checkAlarms(Reading &reading, const CheckSettings &settings) {
  const int least = settings.alarmLevel == AlarmLevel::Yellow ? 1 : 2;
  const std::wstring levels = least == 1 ? L"yellow or red" : L"red";
  reading.at(vsphereStatement::ReadAlarms);
  const MoRef root = reading.session.content().rootFolder;
  const PropertySet triggered{type::Folder, {path::TriggeredAlarmState}};
  std::optional<Triggered> worst;
  std::size_t failing = 0;
  reading.session.retrieveObjects({&root, 1}, {&triggered, 1}, [&](ObjectContent &folder) {
    const Value *states = folder.property(path::TriggeredAlarmState);
    if (!states)
      return;
    for (const Field &state : states->fields) {
      const std::wstring status = textOf(state.value.field(L"overallStatus"));
      const int severity = severityOf(status);
      if (severity < least)
        continue;
      ++failing;
      if (worst && severityOf(worst->status) >= severity)
        continue;
      const Value *alarm = state.value.field(L"alarm");
      const Value *entity = state.value.field(L"entity");
      worst = Triggered{alarm ? alarm->reference() : MoRef{},
                        entity ? entity->reference() : MoRef{}, status};
    }
  });
  if (!worst)
    return {true, L"No triggered alarm is " + levels};
  reading.at(vsphereStatement::ReadAlarmNames);
  const auto [alarm, entity] = namesOf(reading, *worst);
  const std::size_t others = failing - 1;
  return {false, L"Alarm (" + alarm + L") is " + worst->status + L" on " +
                     kindOf(worst->entity.type) + L" (" + entity + L")" +
                     (others ? L"; " + counted(others, L"other alarm is ", L"other alarms are ") +
                                   levels + L" too"
                             : L"")};
}

} // namespace brennow::vspherecheck
