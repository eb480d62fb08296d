#include "vmserver/vsphere/Machines.h"

#include "vmserver/vsphere/Errors.h"

namespace brennow::vmserver::vsphere {

using namespace std::string_view_literals;

std::vector<NamedObject> namedObjects(Session &session, std::wstring_view type) {
  std::vector<NamedObject> all;
  session.retrieveAll({type, {path::Name}, true}, [&](ObjectContent &object) {
    if (object.properties.size() == 1 && object.properties[0].path == path::Name)
      all.push_back(
          {std::move(object.object), unescapedName(std::move(object.properties[0].value.text))});
    else if (const Value *name = object.property(path::Name))
      all.push_back({std::move(object.object), unescapedName(name->text)});
  });
  return all;
}

PropertySet machineRuntimeProperties() {
  return {type::VirtualMachine, {path::ConnectionState, path::Question, path::PowerState}, true};
}

MachineRuntime runtimeOf(const ObjectContent &machine) {
  MachineRuntime runtime;
  if (const Value *state = machine.property(path::ConnectionState))
    runtime.connectionState = state->text;
  if (const Value *power = machine.property(path::PowerState))
    runtime.powerState = power->text;
  if (const Value *question = machine.property(path::Question))
    runtime.question = !question->fields.empty() || !trimmedText(question->text).empty();
  return runtime;
}

std::int32_t executionStateOf(const MachineRuntime &runtime) {
  if (runtime.connectionState && trimmedText(*runtime.connectionState) != L"connected"sv)
    return 5;
  if (runtime.question)
    return 4;
  const std::wstring powerText = runtime.powerState.value_or(L"");
  const std::wstring_view power = trimmedText(powerText);
  if (power == L"poweredOn"sv)
    return 1;
  if (power == L"poweredOff"sv)
    return 2;
  if (power == L"suspended"sv)
    return 3;
  throw adapterError(power.empty() ? L"The server did not report the machine's power state"
                                   : L"The server reported an unknown power state (" +
                                         std::wstring(power) + L")");
}

std::int32_t readExecutionState(Session &session, const MoRef &machine) {
  MachineRuntime runtime;
  const PropertySet properties = machineRuntimeProperties();
  session.retrieveObjects({&machine, 1}, {&properties, 1},
                          [&](ObjectContent &object) { runtime = runtimeOf(object); });
  return executionStateOf(runtime);
}

} // namespace brennow::vmserver::vsphere
