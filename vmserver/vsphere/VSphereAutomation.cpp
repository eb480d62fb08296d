#include "vmserver/vsphere/VSphereAutomation.h"

#include "vmserver/vsphere/Endpoint.h"
#include "vmserver/vsphere/Errors.h"

namespace brennow::vmserver::vsphere {
namespace {

class Params final : public ConnectParams {
public:
  void setHostname(const std::wstring &hostname) override { hostname_ = hostname; }
  void setUsername(const std::wstring &username) override { username_ = username; }
  void setPassword(const std::wstring &password) override { password_ = password; }

  const std::wstring &hostname() const { return hostname_; }
  const std::wstring &username() const { return username_; }
  const std::wstring &password() const { return password_; }

private:
  std::wstring hostname_;
  std::wstring username_;
  std::wstring password_;
};

const Params &ownParams(const ConnectParams &params) {
  const auto *own = dynamic_cast<const Params *>(&params);
  if (!own)
    throw adapterError(L"The connection parameters do not belong to the vSphere adapter");
  return *own;
}

class NameList final : public VmList {
public:
  explicit NameList(std::shared_ptr<Session> session) : session_(std::move(session)) {}

  std::wstring item(std::int32_t index) override {
    const auto &machines = session_->machines();
    if (index < 1 || static_cast<std::size_t>(index) > machines.size())
      throw runtimeError(kInvalidProcedureCall);
    return machines[static_cast<std::size_t>(index) - 1].name;
  }
  std::int32_t count() override { return static_cast<std::int32_t>(session_->machines().size()); }

private:
  std::shared_ptr<Session> session_;
};

class SessionServer final : public Server {
public:
  explicit SessionServer(VSphereAutomation &automation) : automation_(automation) {}

  void connect(ConnectParams &params) override { session_ = automation_.startSession(params); }

  std::unique_ptr<VmList> registeredVmNames() override {
    if (!session_)
      throw adapterError(L"Not connected to the server");
    session_->machines();
    return std::make_unique<NameList>(session_);
  }

private:
  VSphereAutomation &automation_;
  std::shared_ptr<Session> session_;
};

class SessionMachine final : public Machine {
public:
  explicit SessionMachine(VSphereAutomation &automation) : automation_(automation) {}

  void connect(ConnectParams &, const std::wstring &vmName) override {
    auto session = automation_.currentSession();
    if (!session)
      throw adapterError(L"Not connected to the server");
    auto machine = session->machineNamed(vmName);
    if (!machine)
      throw adapterError(L"There is no virtual machine named (" + vmName + L") on this server");
    session_ = std::move(session);
    machine_ = std::move(*machine);
  }

  std::int32_t executionState() override {
    if (!session_)
      throw adapterError(L"Not connected to a virtual machine");
    return session_->executionState(machine_);
  }

private:
  VSphereAutomation &automation_;
  std::shared_ptr<Session> session_;
  MoRef machine_;
};

} // namespace

VSphereAutomation::VSphereAutomation(const ServerChoice &choice, Platform platform)
    : choice_(choice), platform_(std::move(platform)) {}

std::unique_ptr<ConnectParams> VSphereAutomation::createConnectParams() {
  return std::make_unique<Params>();
}

std::unique_ptr<Server> VSphereAutomation::createServer() {
  return std::make_unique<SessionServer>(*this);
}

std::unique_ptr<Machine> VSphereAutomation::createMachine() {
  return std::make_unique<SessionMachine>(*this);
}

std::shared_ptr<Session> VSphereAutomation::startSession(const ConnectParams &params) {
  const Params &own = ownParams(params);
  TransportOptions options;
  options.timeoutSeconds = timeoutSecondsOf(choice_.timeoutText);
  if (choice_.thumbprint.find_first_not_of(L": \t") != std::wstring::npos) {
    options.thumbprint = normalizedThumbprint(choice_.thumbprint);
    if (!options.thumbprint)
      throw adapterError(L"THUMB is not a SHA-256 thumbprint (64 hex digits, colons and blanks "
                         L"allowed): " +
                         choice_.thumbprint);
  }
  const Endpoint endpoint = endpointOf(own.hostname());
  auto session =
      std::make_shared<Session>(platform_.makeTransport(endpoint, options), platform_.makeReader,
                                sessionTimingFor(options.timeoutSeconds));
  session->login(own.username(), own.password());
  session_ = session;
  return session;
}

std::shared_ptr<Session> VSphereAutomation::currentSession() const { return session_.lock(); }

} // namespace brennow::vmserver::vsphere
