#pragma once
// What the machine-state check and the listings read through a session: objects by name,
// and one machine's execution state.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vmserver/vsphere/Session.h"

namespace brennow::vmserver::vsphere {

struct NamedObject {
  MoRef object;
  std::wstring name; // unescaped (unescapedName)
};

// Every object of `type` under the root folder with its name, in the server's order.
std::vector<NamedObject> namedObjects(Session &session, std::wstring_view type);

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
