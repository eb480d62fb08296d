#pragma once
// What the machine-state check and the listings read through a session: objects by name,
// and one machine's execution state.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vmserver/vsphere/Session.h"

namespace brennow::vmserver::vsphere {

// Objects with their names (unescaped, as unescapedName gives them), in the order they were
// added, kept in one text and a table of where each piece lies rather than in three strings
// apiece: a check reads the names of every machine of the inventory, tens of thousands of
// them, on every run.
class NamedObjects {
public:
  std::size_t size() const { return entries_.size(); }
  std::wstring_view name(std::size_t index) const;
  MoRef object(std::size_t index) const;
  // The first object named exactly `name`.
  std::optional<MoRef> find(std::wstring_view name) const;

  void add(const MoRef &object, std::wstring_view escapedName);

private:
  struct Span {
    std::size_t start = 0, length = 0;
  };
  struct Entry {
    Span name, value, type;
  };
  Span append(std::wstring_view text);
  std::wstring_view textOf(Span span) const;

  std::wstring text_; // every name, identifier and type, one after the other
  std::vector<Entry> entries_;
};

// Every object of `type` under the root folder with its name, in the server's order.
NamedObjects namedObjects(Session &session, std::wstring_view type);

struct MachineRuntime {
  std::optional<std::wstring> connectionState;
  std::optional<std::wstring> powerState;
  bool question = false;
};

// The paths a machine's execution state is read from.
PropertySet machineRuntimeProperties();
MachineRuntime runtimeOf(const ObjectContent &machine);

// The execution state code: 5 not connected, 4 waiting on a question, 1 on, 2 off,
// 3 suspended. Throws AutomationError when the power state is missing or unknown.
std::int32_t executionStateOf(const MachineRuntime &runtime);

// One machine's execution state code, read now.
std::int32_t readExecutionState(Session &session, const MoRef &machine);

} // namespace brennow::vmserver::vsphere
