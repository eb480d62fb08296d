#pragma once
// An in-memory virtualization server behind the adapter interfaces. It records every
// operation in order and can fail any one of them with a description of its own.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/AutomationError.h"
#include "vmserver/VMServer.h"

namespace brennow::testing {

struct FakeMachine {
  std::wstring name;
  std::int32_t state;
};

struct FakeInventory {
  std::wstring hostname = L"srv1";
  std::wstring username = L"alice";
  std::wstring password = L"secret";
  std::vector<FakeMachine> machines;
  // Operation name ("server.Connect", "list.Item(2)", ...) -> description of its failure.
  std::map<std::wstring, std::wstring> faults;
};

class FakeAutomation final : public vmserver::Automation {
public:
  explicit FakeAutomation(FakeInventory inventory) : inventory_(std::move(inventory)) {}

  std::vector<std::wstring> log;
  int alive = 0;

  std::unique_ptr<vmserver::ConnectParams> createConnectParams() override;
  std::unique_ptr<vmserver::Server> createServer() override;
  std::unique_ptr<vmserver::Machine> createMachine() override;

  // Records an operation and throws when the inventory fails it.
  void operation(const std::wstring &name) {
    log.push_back(name);
    if (auto fault = inventory_.faults.find(name); fault != inventory_.faults.end())
      throw AutomationError(static_cast<std::int32_t>(0x80040001u), fault->second);
  }
  const FakeInventory &inventory() const { return inventory_; }

private:
  FakeInventory inventory_;
};

// Counts itself alive in the automation and logs its release.
class FakeObject {
public:
  FakeObject(FakeAutomation &automation, std::wstring kind)
      : automation_(automation), kind_(std::move(kind)) {
    ++automation_.alive;
  }
  ~FakeObject() {
    --automation_.alive;
    automation_.log.push_back(L"release " + kind_);
  }
  FakeObject(const FakeObject &) = delete;
  FakeObject &operator=(const FakeObject &) = delete;

protected:
  FakeAutomation &automation_;

private:
  std::wstring kind_;
};

class FakeParams final : public vmserver::ConnectParams, public FakeObject {
public:
  explicit FakeParams(FakeAutomation &a) : FakeObject(a, L"params") {}
  void setHostname(const std::wstring &v) override {
    automation_.operation(L"params.Hostname=" + v);
    hostname = v;
  }
  void setUsername(const std::wstring &v) override {
    automation_.operation(L"params.Username=" + v);
    username = v;
  }
  void setPassword(const std::wstring &v) override {
    automation_.operation(L"params.Password=" + v);
    password = v;
  }
  bool accepted() const {
    const auto &inv = automation_.inventory();
    return hostname == inv.hostname && username == inv.username && password == inv.password;
  }
  std::wstring hostname, username, password;
};

class FakeList final : public vmserver::VmList, public FakeObject {
public:
  explicit FakeList(FakeAutomation &a) : FakeObject(a, L"list") {}
  std::wstring item(std::int32_t index) override {
    automation_.operation(L"list.Item(" + std::to_wstring(index) + L")");
    const auto &machines = automation_.inventory().machines;
    if (index < 1 || index > static_cast<std::int32_t>(machines.size()))
      throw AutomationError(static_cast<std::int32_t>(0x8002000Bu), L"Invalid index");
    return machines[static_cast<std::size_t>(index - 1)].name;
  }
  std::int32_t count() override {
    automation_.operation(L"list.Count");
    return static_cast<std::int32_t>(automation_.inventory().machines.size());
  }
};

class FakeServer final : public vmserver::Server, public FakeObject {
public:
  explicit FakeServer(FakeAutomation &a) : FakeObject(a, L"server") {}
  void connect(vmserver::ConnectParams &params) override {
    automation_.operation(L"server.Connect");
    if (!static_cast<FakeParams &>(params).accepted())
      throw AutomationError(static_cast<std::int32_t>(0x80040002u), L"Login refused");
  }
  std::unique_ptr<vmserver::VmList> registeredVmNames() override {
    automation_.operation(L"server.RegisteredVmNames");
    return std::make_unique<FakeList>(automation_);
  }
};

class FakeVm final : public vmserver::Machine, public FakeObject {
public:
  explicit FakeVm(FakeAutomation &a) : FakeObject(a, L"machine") {}
  void connect(vmserver::ConnectParams &, const std::wstring &vmName) override {
    automation_.operation(L"machine.Connect(" + vmName + L")");
    name_ = vmName;
  }
  std::int32_t executionState() override {
    automation_.operation(L"machine.ExecutionState");
    for (const auto &machine : automation_.inventory().machines)
      if (machine.name == name_)
        return machine.state;
    throw AutomationError(static_cast<std::int32_t>(0x80040003u), L"No such machine");
  }

private:
  std::wstring name_;
};

inline std::unique_ptr<vmserver::ConnectParams> FakeAutomation::createConnectParams() {
  operation(L"create params");
  return std::make_unique<FakeParams>(*this);
}
inline std::unique_ptr<vmserver::Server> FakeAutomation::createServer() {
  operation(L"create server");
  return std::make_unique<FakeServer>(*this);
}
inline std::unique_ptr<vmserver::Machine> FakeAutomation::createMachine() {
  operation(L"create machine");
  return std::make_unique<FakeVm>(*this);
}

} // namespace brennow::testing
