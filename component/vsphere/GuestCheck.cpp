// GUEST: the named machine is powered on, its VMware Tools run and its heartbeat is green.

#include "component/vsphere/Judging.h"
#include "component/vsphereCheck.h"
#include "vmserver/vsphere/Errors.h"
#include "vmserver/vsphere/Machines.h"

namespace brennow::vspherecheck {

using namespace vmserver::vsphere;

namespace {

// The power state as the machine-state check names it.
std::wstring powerName(const std::wstring &power) {
  if (power == L"poweredOn")
    return L"on";
  if (power == L"poweredOff")
    return L"off";
  if (power == L"suspended")
    return L"suspended";
  throw adapterError(power.empty()
                         ? L"The server did not report the machine's power state"
                         : L"The server reported an unknown power state (" + power + L")");
}

std::wstring toolsName(const std::wstring &tools) {
  if (tools == L"guestToolsNotRunning")
    return L"not running";
  if (tools == L"guestToolsExecutingScripts")
    return L"executing scripts";
  return tools.empty() ? L"not reported" : L"in the state " + tools;
}

} // namespace

Outcome checkGuest(Reading &reading, const CheckSettings &settings) {
  const std::wstring &vm = settings.object;
  reading.at(vsphereStatement::ListMachines);
  const auto named = namedObjects(reading.session, type::VirtualMachine).find(vm);
  if (!named)
    return {false, L"Can't get the state of this (" + vm +
                       L") virtual machine, it's not listed as a known one"};
  reading.at(vsphereStatement::ReadGuest);
  const PropertySet guest{type::VirtualMachine,
                          {path::PowerState, path::ToolsRunningStatus, path::GuestHeartbeatStatus}};
  ObjectContent read;
  reading.session.retrieveObjects({&*named, 1}, {&guest, 1},
                                  [&](ObjectContent &object) { read = std::move(object); });
  const std::wstring machine = L"Virtual machine (" + vm + L") is ";
  const std::wstring power = powerName(textOf(read.property(path::PowerState)));
  if (power != L"on")
    return {false, machine + power + L", its guest is not alive"};
  const std::wstring tools = textOf(read.property(path::ToolsRunningStatus));
  if (tools != L"guestToolsRunning")
    return {false, machine + L"on, its guest is not alive: VMware Tools " + toolsName(tools)};
  const std::wstring heartbeat = textOf(read.property(path::GuestHeartbeatStatus));
  if (heartbeat != L"green")
    return {false, machine + L"on, its guest is not alive: heartbeat " +
                       (heartbeat.empty() ? L"not reported" : heartbeat)};
  return {true, machine + L"on, its guest is alive: VMware Tools running, heartbeat green"};
}

} // namespace brennow::vspherecheck
