#include "standin/Session.h"

#include <algorithm>
#include <utility>

namespace standin {

std::uint32_t defaultFaultCode(Operation operation) {
  switch (operation) {
  case Operation::connect:
    return faultCode::connect;
  case Operation::list:
    return faultCode::list;
  case Operation::count:
    return faultCode::count;
  case Operation::item:
    return faultCode::item;
  case Operation::machineConnect:
    return faultCode::machineConnect;
  case Operation::state:
    return faultCode::state;
  }
  return faultCode::connect;
}

Fault immediateFault(std::uint32_t code, std::wstring description) {
  return Fault{.style = FaultStyle::immediate, .code = code, .description = std::move(description)};
}

Outcome<Session> logIn(std::shared_ptr<const Inventory> inventory, const Credentials &credentials) {
  const Host *host = inventory->findHost(credentials.host);
  if (!host)
    return immediateFault(faultCode::unknownHost, L"Unknown host: " + credentials.host);
  if (host->user != credentials.user || host->password != credentials.password)
    return immediateFault(faultCode::badCredentials,
                          L"Incorrect user name or password for host " + credentials.host);
  return Session{std::move(inventory), host};
}

Outcome<std::wstring> itemAt(const Host &host, std::int32_t index) {
  if (const auto fault = host.itemFaults.find(index); fault != host.itemFaults.end())
    return fault->second;
  if (index < 1 || static_cast<std::size_t>(index) > host.machines.size())
    return immediateFault(faultCode::indexOutOfRange,
                          L"Index out of range: " + std::to_wstring(index));
  return host.machines[static_cast<std::size_t>(index) - 1].name;
}

Outcome<const Machine *> connectMachine(const Host &host, std::wstring_view name) {
  const auto found = std::find_if(host.machines.begin(), host.machines.end(),
                                  [&](const Machine &machine) { return machine.name == name; });
  if (found == host.machines.end())
    return immediateFault(faultCode::machineNotFound, L"machine not found");
  if (found->connectFault)
    return *found->connectFault;
  return &*found;
}

} // namespace standin
