#pragma once
// The server adapter over the vSphere Web Services API, in the automation component's shape
// that the machine-state check and the picker's listing are written against. A Server's
// connect logs in; the machine list, and every Machine connected afterwards through the same
// adapter, share that session. The session is released (views destroyed, logged out) when
// the last object holding it goes, so every run that logged in ends logged out.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vmserver/ServerChoice.h"
#include "vmserver/VMServer.h"
#include "vmserver/vsphere/Machines.h"
#include "vmserver/vsphere/Session.h"

namespace brennow::vmserver::vsphere {

// What the adapter needs of its platform.
struct Platform {
  TransportFactory makeTransport;
  XmlReaderFactory makeReader;
};

// A session logged in with `username` and `password` at `hostname`, as `choice` says: its
// timeout and pinned thumbprint. Throws AutomationError (a bad address or THUMB, a failed login).
std::unique_ptr<Session> startSession(const ServerChoice &choice, const Platform &platform,
                                      const std::wstring &hostname, const std::wstring &username,
                                      const std::wstring &password);

// One logged-in session and the machine list once read, shared by the adapter's objects.
struct Connection {
  explicit Connection(std::unique_ptr<Session> loggedIn) : session(std::move(loggedIn)) {}
  const NamedObjects &machines();

  std::unique_ptr<Session> session;
  std::optional<NamedObjects> listed;
};

class VSphereAutomation final : public Automation {
public:
  VSphereAutomation(const ServerChoice &choice, Platform platform);

  std::unique_ptr<ConnectParams> createConnectParams() override;
  std::unique_ptr<Server> createServer() override;
  std::unique_ptr<Machine> createMachine() override;

  // Used by the adapter's objects.
  std::shared_ptr<Connection> connect(const ConnectParams &params);
  std::shared_ptr<Connection> currentConnection() const;

private:
  ServerChoice choice_;
  Platform platform_;
  std::weak_ptr<Connection> connection_;
};

} // namespace brennow::vmserver::vsphere
