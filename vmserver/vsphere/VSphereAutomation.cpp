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
  explicit NameList(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}

  std::wstring item(std::int32_t index) override {
    const auto &machines = connection_->machines();
    if (index < 1 || static_cast<std::size_t>(index) > machines.size())
      throw runtimeError(kInvalidProcedureCall);
    return std::wstring(machines.name(static_cast<std::size_t>(index) - 1));
  }
  std::int32_t count() override {
    return static_cast<std::int32_t>(connection_->machines().size());
  }

private:
  std::shared_ptr<Connection> connection_;
};

class SessionServer final : public Server {
public:
  explicit SessionServer(VSphereAutomation &automation) : automation_(automation) {}

  void connect(ConnectParams &params) override { connection_ = automation_.connect(params); }

  std::unique_ptr<VmList> registeredVmNames() override {
    if (!connection_)
      throw adapterError(L"Not connected to the server");
    connection_->machines();
    return std::make_unique<NameList>(connection_);
  }

private:
  VSphereAutomation &automation_;
  std::shared_ptr<Connection> connection_;
};

class SessionMachine final : public Machine {
public:
  explicit SessionMachine(VSphereAutomation &automation) : automation_(automation) {}

  // The first machine of that name.
  void connect(ConnectParams &, const std::wstring &vmName) override {
    auto connection = automation_.currentConnection();
    if (!connection)
      throw adapterError(L"Not connected to the server");
    auto named = connection->machines().find(vmName);
    if (!named)
      throw adapterError(L"There is no virtual machine named (" + vmName + L") on this server");
    machine_ = std::move(*named);
    connection_ = std::move(connection);
  }

  std::int32_t executionState() override {
    if (!connection_)
      throw adapterError(L"Not connected to a virtual machine");
    return readExecutionState(*connection_->session, machine_);
  }

private:
  VSphereAutomation &automation_;
  std::shared_ptr<Connection> connection_;
  MoRef machine_;
};

} // namespace

std::unique_ptr<Session> startSession(const ServerChoice &choice, const Platform &platform,
                                      const std::wstring &hostname, const std::wstring &username,
                                      const std::wstring &password) {
  TransportOptions options;
  options.timeoutSeconds = timeoutSecondsOf(choice.timeoutText);
  if (choice.thumbprint.find_first_not_of(L": \t") != std::wstring::npos) {
    options.thumbprint = normalizedThumbprint(choice.thumbprint);
    if (!options.thumbprint)
      throw adapterError(L"THUMB is not a SHA-256 thumbprint (64 hex digits, colons and blanks "
                         L"allowed): " +
                         choice.thumbprint);
  }
  const Endpoint endpoint = endpointOf(hostname);
  auto session =
      std::make_unique<Session>(platform.makeTransport(endpoint, options), platform.makeReader,
                                sessionTimingFor(options.timeoutSeconds));
  session->login(username, password);
  return session;
}

const NamedObjects &Connection::machines() {
  if (!listed)
    listed = namedObjects(*session, type::VirtualMachine);
  return *listed;
}

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

std::shared_ptr<Connection> VSphereAutomation::connect(const ConnectParams &params) {
  const Params &own = ownParams(params);
  auto connection = std::make_shared<Connection>(
      startSession(choice_, platform_, own.hostname(), own.username(), own.password()));
  connection_ = connection;
  return connection;
}

std::shared_ptr<Connection> VSphereAutomation::currentConnection() const {
  return connection_.lock();
}

} // namespace brennow::vmserver::vsphere
