#include "standin/MachineObject.h"

#include "standin/Environment.h"
#include "standin/ParamsObject.h"

namespace standin {

namespace {

enum : DISPID { connectId = 1, executionStateId };

constexpr Member members[] = {
    {L"Connect", connectId, DISPATCH_METHOD, 2},
    {L"ExecutionState", executionStateId, DISPATCH_PROPERTYGET, 0},
};

const ObjectKind kind{L"machine", iidMachine, members};

} // namespace

MachineObject::MachineObject() noexcept : DispatchObject(kind) {}

Variant MachineObject::invoke(const Call &call) {
  if (call.member() == connectId)
    return connect(call);
  return executionState();
}

Variant MachineObject::connect(const Call &call) {
  const auto params = ParamsObject::fromArgument(call.argument(0));
  if (!params)
    throw ArgumentError{DISP_E_TYPEMISMATCH, call.rgvargIndex(0)};
  const std::wstring name = call.text(1);
  log(L"machine.Connect(" + name + L")");
  machine_ = nullptr;
  session_ = {};
  // The machine object has its own connection: the inventory is read afresh for it.
  const auto inventory = take(loadInventory());
  const auto credentials = params->credentials();
  waitFor(*inventory, inventory->findHost(credentials.host), Operation::machineConnect);
  auto session = take(logIn(inventory, credentials));
  machine_ = take(connectMachine(*session.host, name));
  session_ = std::move(session);
  return {};
}

Variant MachineObject::executionState() {
  log(L"machine.ExecutionState");
  if (!machine_)
    throw immediateFault(faultCode::notConnected, L"Not connected to a virtual machine");
  waitFor(*session_.inventory, session_.host, Operation::state);
  raise(machine_->stateFault);
  return Variant::fromInt32(machine_->state);
}

} // namespace standin
