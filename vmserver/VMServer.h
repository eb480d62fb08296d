#pragma once
// The operations the component uses of the virtualization server's automation
// component, and nothing more. The check and the picker's listing are written
// against these interfaces; on Windows DispatchAutomation implements them over
// the real component, native tests over an in-memory fake.
// Every failing operation throws AutomationError with the component's description.
#include <cstdint>
#include <memory>
#include <string>

namespace brennow::vmserver {

class ConnectParams {
public:
  virtual ~ConnectParams() = default;
  virtual void setHostname(const std::wstring &hostname) = 0;
  virtual void setUsername(const std::wstring &username) = 0;
  virtual void setPassword(const std::wstring &password) = 0;
};

class VmList {
public:
  virtual ~VmList() = default;
  // Item `index` (1-based) taken as text.
  virtual std::wstring item(std::int32_t index) = 0;
  virtual std::int32_t count() = 0;
};

class Server {
public:
  virtual ~Server() = default;
  virtual void connect(ConnectParams &params) = 0;
  virtual std::unique_ptr<VmList> registeredVmNames() = 0;
};

class Machine {
public:
  virtual ~Machine() = default;
  virtual void connect(ConnectParams &params, const std::wstring &vmName) = 0;
  virtual std::int32_t executionState() = 0;
};

// Creates the three creatable objects.
class Automation {
public:
  virtual ~Automation() = default;
  virtual std::unique_ptr<ConnectParams> createConnectParams() = 0;
  virtual std::unique_ptr<Server> createServer() = 0;
  virtual std::unique_ptr<Machine> createMachine() = 0;
};

// "on", "off", "suspended", or "stuck" for every other code.
std::wstring VMStateName(const std::int32_t &executionState);

} // namespace brennow::vmserver
