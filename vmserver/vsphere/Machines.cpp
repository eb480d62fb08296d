#include "vmserver/vsphere/Machines.h"

#include "vmserver/vsphere/Errors.h"

namespace brennow::vmserver::vsphere {

using namespace std::string_view_literals;

std::wstring_view NamedObjects::textOf(Span span) const {
  return std::wstring_view(text_).substr(span.start, span.length);
}

std::wstring_view NamedObjects::name(std::size_t index) const {
  return textOf(entries_.at(index).name);
}

MoRef NamedObjects::object(std::size_t index) const {
  const Entry &entry = entries_.at(index);
  return {std::wstring(textOf(entry.type)), std::wstring(textOf(entry.value))};
}

std::optional<MoRef> NamedObjects::find(std::wstring_view wanted) const {
  for (std::size_t i = 0; i < entries_.size(); ++i)
    if (name(i) == wanted)
      return object(i);
  return std::nullopt;
}

NamedObjects::Span NamedObjects::append(std::wstring_view text) {
  const Span span{text_.size(), text.size()};
  text_ += text;
  return span;
}

void NamedObjects::add(const MoRef &object, std::wstring_view escapedName) {
  Entry entry;
  entry.name.start = text_.size();
  appendUnescapedName(escapedName, text_);
  entry.name.length = text_.size() - entry.name.start;
  entry.value = append(object.value);
  // A listing's objects are of one type as a rule: an object of its predecessor's type shares
  // that text.
  const bool sameType = !entries_.empty() && textOf(entries_.back().type) == object.type;
  entry.type = sameType ? entries_.back().type : append(object.type);
  entries_.push_back(entry);
}

NamedObjects namedObjects(Session &session, std::wstring_view type) {
  NamedObjects all;
  // The object read into is handed over again for the next one: nothing is moved out of it,
  // so that its strings keep their room.
  session.retrieveAll({type, {path::Name}, true}, [&](ObjectContent &object) {
    if (const Value *name = object.property(path::Name))
      all.add(object.object, name->text);
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
