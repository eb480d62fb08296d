#pragma once
// The server adapter over the vSphere Web Services API. A Server's connect logs in; the
// machine list, and every Machine connected afterwards through the same adapter, share
// that session. The session is released (view destroyed, logged out) when the last
// object holding it goes, so every run that logged in ends logged out.
#include <memory>

#include "vmserver/ServerChoice.h"
#include "vmserver/VMServer.h"
#include "vmserver/vsphere/Session.h"

namespace brennow::vmserver::vsphere {

// What the adapter needs of its platform.
struct Platform {
  TransportFactory makeTransport;
  XmlReaderFactory makeReader;
};

class VSphereAutomation final : public Automation {
public:
  VSphereAutomation(const ServerChoice &choice, Platform platform);

  std::unique_ptr<ConnectParams> createConnectParams() override;
  std::unique_ptr<Server> createServer() override;
  std::unique_ptr<Machine> createMachine() override;

  // Used by the adapter's objects.
  std::shared_ptr<Session> startSession(const ConnectParams &params);
  std::shared_ptr<Session> currentSession() const;

private:
  ServerChoice choice_;
  Platform platform_;
  std::weak_ptr<Session> session_;
};

} // namespace brennow::vmserver::vsphere
