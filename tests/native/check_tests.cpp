// The check's outcomes, messages, statement numbers and call sequence, over the
// in-memory server.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "common/AutomationError.h"
#include "component/check.h"
#include "params/Generic.h"
#include "params/base64.h"
#include "tests/native/FakeServer.h"
#include "vmserver/VMServer.h"

using namespace brennow;
using namespace brennow::testing;

namespace {

class FakeHost final : public CheckHost {
public:
  std::wstring hostname = L"srv1";
  std::wstring parameter;
  std::optional<int> failParameterReadNumber; // 1-based read that fails
  bool failHostnameText = false;
  std::vector<std::wstring> results;

  void copyTimeout() override {}
  void copyHostname() override {}
  std::wstring hostnameText() override {
    if (failHostnameText)
      throw runtimeError(kTypeMismatch);
    return hostname;
  }
  std::wstring parameterText() override {
    if (failParameterReadNumber && ++reads_ == *failParameterReadNumber)
      throw runtimeError(kTypeMismatch);
    return parameter;
  }
  void setResult(const std::wstring &message) override { results.push_back(message); }

private:
  int reads_ = 0;
};

std::wstring parameters(const std::wstring &user, const std::wstring &password,
                        const std::wstring &vm, const std::wstring &state) {
  return buildParameterString({user, base64Encode(password, windows1252()), vm, state});
}

FakeInventory threeMachines() {
  FakeInventory inventory;
  inventory.machines = {{L"web01", 1}, {L"db01", 2}, {L"mail", 3}};
  return inventory;
}

struct Outcome {
  const char *name;
  std::vector<FakeMachine> machines;
  std::wstring vm;
  std::wstring expected;
  bool answer;
  std::wstring message;
};

class CheckOutcome : public ::testing::TestWithParam<Outcome> {};

TEST_P(CheckOutcome, AnswersAndMessage) {
  const Outcome &o = GetParam();
  FakeInventory inventory;
  inventory.machines = o.machines;
  FakeAutomation automation(inventory);
  FakeHost host;
  host.parameter = parameters(L"alice", L"secret", o.vm, o.expected);

  EXPECT_EQ(runCheck(host, automation, windows1252()), o.answer);
  ASSERT_EQ(host.results.size(), 1u);
  EXPECT_EQ(host.results.back(), o.message);
  EXPECT_EQ(automation.alive, 0);
}

const std::vector<FakeMachine> kThree = {{L"web01", 1}, {L"db01", 2}, {L"mail", 3}};

INSTANTIATE_TEST_SUITE_P(
    Outcomes, CheckOutcome,
    ::testing::Values(
        Outcome{"NoMachinesNoName",
                {},
                L"",
                L"",
                false,
                L"No registered virtual machines on this server"},
        Outcome{"NoMachinesNamed",
                {},
                L"web01",
                L"on",
                false,
                L"No registered virtual machines on this server"},
        Outcome{"CountOne",
                {{L"a", 1}},
                L"",
                L"",
                true,
                L"1 registered virtual machine(s) on this server"},
        Outcome{"CountThree", kThree, L"", L"on", true,
                L"3 registered virtual machine(s) on this server"},
        Outcome{"InExpectedState", kThree, L"db01", L"off", true, L"Virtual machine (db01) is off"},
        Outcome{"Suspended", kThree, L"mail", L"suspended", true,
                L"Virtual machine (mail) is suspended"},
        Outcome{"OtherState", kThree, L"web01", L"off", false,
                L"Virtual machine (web01) is in a on state while it should be off"},
        Outcome{"StateCaseMatters", kThree, L"web01", L"On", false,
                L"Virtual machine (web01) is in a on state while it should be On"},
        Outcome{"EmptyExpected", kThree, L"web01", L"", false,
                L"Virtual machine (web01) is in a on state while it should be "},
        Outcome{"NotListed", kThree, L"nope", L"on", false,
                L"Can't get the state of this (nope) virtual machine, it's not listed as a known "
                L"one"},
        Outcome{"NameCaseMatters", kThree, L"WEB01", L"on", false,
                L"Can't get the state of this (WEB01) virtual machine, it's not listed as a known "
                L"one"},
        Outcome{"UnknownExpectedNotListed", kThree, L"nope", L"unknown", true,
                L"Virtual machine (nope) is unknown"},
        Outcome{"StuckZero", {{L"x", 0}}, L"x", L"stuck", true, L"Virtual machine (x) is stuck"},
        Outcome{"StuckFour", {{L"x", 4}}, L"x", L"stuck", true, L"Virtual machine (x) is stuck"},
        Outcome{
            "StuckNegative", {{L"x", -7}}, L"x", L"stuck", true, L"Virtual machine (x) is stuck"},
        Outcome{"FirstOfDuplicatesWins",
                {{L"x", 1}, {L"x", 2}},
                L"x",
                L"on",
                true,
                L"Virtual machine (x) is on"}),
    [](const auto &info) { return info.param.name; });

struct Failure {
  const char *name;
  std::wstring operation; // the fake's operation that fails
  std::wstring vm;
  int statement;
};

class CheckFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(CheckFailure, ReportsStatementAndDescription) {
  const Failure &f = GetParam();
  FakeInventory inventory = threeMachines();
  inventory.faults[f.operation] = L"Injected fault";
  FakeAutomation automation(inventory);
  FakeHost host;
  host.parameter = parameters(L"alice", L"secret", f.vm, L"on");

  EXPECT_FALSE(runCheck(host, automation, windows1252()));
  ASSERT_FALSE(host.results.empty());
  EXPECT_EQ(host.results.back(), L"ERR: Injected fault(at  " + std::to_wstring(f.statement) + L")");
  EXPECT_EQ(automation.alive, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Statements, CheckFailure,
    ::testing::Values(Failure{"CreateParams", L"create params", L"", 80},
                      Failure{"CreateServer", L"create server", L"", 90},
                      Failure{"Hostname", L"params.Hostname=srv1", L"", 100},
                      Failure{"Username", L"params.Username=alice", L"", 110},
                      Failure{"Password", L"params.Password=secret", L"", 120},
                      Failure{"Connect", L"server.Connect", L"", 130},
                      Failure{"List", L"server.RegisteredVmNames", L"", 140},
                      Failure{"FirstCount", L"list.Count", L"", 150},
                      Failure{"ItemCompare", L"list.Item(2)", L"db01", 370},
                      Failure{"CreateMachine", L"create machine", L"db01", 380},
                      Failure{"MachineConnect", L"machine.Connect(db01)", L"db01", 390},
                      Failure{"State", L"machine.ExecutionState", L"db01", 400}),
    [](const auto &info) { return info.param.name; });

TEST(Check, ValuesKeepTheirBlanksFromTheParameterString) {
  FakeInventory inventory;
  inventory.machines = {{L"x", 1}, {L" x ", 2}};
  FakeAutomation automation(inventory);
  FakeHost host;
  host.parameter =
      L"#USR=alice#PWD=" + base64Encode(L"secret", windows1252()) + L"#VMN= x #VMS=off#";
  EXPECT_TRUE(runCheck(host, automation, windows1252()));
  EXPECT_EQ(host.results.back(), L"Virtual machine ( x ) is off");
}

TEST(Check, WrongPasswordFailsAtConnectWithTwoBlanks) {
  FakeAutomation automation(threeMachines());
  FakeHost host;
  host.parameter = parameters(L"alice", L"wrong", L"", L"");
  EXPECT_FALSE(runCheck(host, automation, windows1252()));
  EXPECT_EQ(host.results.back(), L"ERR: Login refused(at  130)");
}

TEST(Check, EmptyParameterStringStillConnectsWithEmptyCredentials) {
  FakeInventory inventory = threeMachines();
  inventory.username = L"";
  inventory.password = L"";
  FakeAutomation automation(inventory);
  FakeHost host;
  EXPECT_TRUE(runCheck(host, automation, windows1252()));
  EXPECT_EQ(host.results.back(), L"3 registered virtual machine(s) on this server");
  EXPECT_NE(std::find(automation.log.begin(), automation.log.end(), L"params.Username="),
            automation.log.end());
}

TEST(Check, MalformedPasswordFailsBeforeAnyConnection) {
  FakeAutomation automation(threeMachines());
  FakeHost host;
  host.parameter = L"#USR=alice#PWD=====#";
  EXPECT_FALSE(runCheck(host, automation, windows1252()));
  EXPECT_EQ(host.results.back(), L"ERR: Invalid procedure call or argument(at  50)");
  EXPECT_TRUE(automation.log.empty());
}

TEST(Check, ValueThatCannotBeTextFailsAtItsStatement) {
  for (int read = 1; read <= 4; ++read) {
    FakeAutomation automation(threeMachines());
    FakeHost host;
    host.parameter = parameters(L"alice", L"secret", L"", L"");
    host.failParameterReadNumber = read;
    EXPECT_FALSE(runCheck(host, automation, windows1252()));
    EXPECT_EQ(host.results.back(),
              L"ERR: Type mismatch(at  " + std::to_wstring(30 + 10 * read) + L")");
  }
  FakeAutomation automation(threeMachines());
  FakeHost host;
  host.parameter = parameters(L"alice", L"secret", L"", L"");
  host.failHostnameText = true;
  EXPECT_FALSE(runCheck(host, automation, windows1252()));
  EXPECT_EQ(host.results.back(), L"ERR: Type mismatch(at  100)");
  EXPECT_EQ(automation.alive, 0);
}

// The exact sequence of a search that matches the second machine: the count is read
// three times, item 2 twice, the machine released before the result is written, item
// 3 never read, then list, parameters and server released in this order.
TEST(Check, SearchCallSequence) {
  FakeAutomation automation(threeMachines());
  FakeHost host;
  host.parameter = parameters(L"alice", L"secret", L"db01", L"off");
  EXPECT_TRUE(runCheck(host, automation, windows1252()));
  const std::vector<std::wstring> expected = {L"create params",
                                              L"create server",
                                              L"params.Hostname=srv1",
                                              L"params.Username=alice",
                                              L"params.Password=secret",
                                              L"server.Connect",
                                              L"server.RegisteredVmNames",
                                              L"list.Count",
                                              L"list.Count",
                                              L"list.Item(1)",
                                              L"list.Item(2)",
                                              L"create machine",
                                              L"list.Item(2)",
                                              L"machine.Connect(db01)",
                                              L"machine.ExecutionState",
                                              L"release machine",
                                              L"list.Count",
                                              L"release list",
                                              L"release params",
                                              L"release server"};
  EXPECT_EQ(automation.log, expected);
}

TEST(Check, CountOnlyReadsCountTwiceAndNoItem) {
  FakeAutomation automation(threeMachines());
  FakeHost host;
  host.parameter = parameters(L"alice", L"secret", L"", L"");
  EXPECT_TRUE(runCheck(host, automation, windows1252()));
  EXPECT_EQ(std::count(automation.log.begin(), automation.log.end(), L"list.Count"), 2);
  EXPECT_EQ(std::count_if(automation.log.begin(), automation.log.end(),
                          [](const auto &op) { return op.starts_with(L"list.Item"); }),
            0);
}

TEST(Check, ErrorPathReleasesParamsThenServerThenTheRest) {
  FakeInventory inventory = threeMachines();
  inventory.faults[L"machine.ExecutionState"] = L"cannot read";
  FakeAutomation automation(inventory);
  FakeHost host;
  host.parameter = parameters(L"alice", L"secret", L"web01", L"on");
  EXPECT_FALSE(runCheck(host, automation, windows1252()));
  const std::vector<std::wstring> tail(automation.log.end() - 4, automation.log.end());
  const std::vector<std::wstring> expected = {L"release params", L"release server",
                                              L"release machine", L"release list"};
  EXPECT_EQ(tail, expected);
}

TEST(Check, ZeroCountReadsNoItem) {
  FakeInventory inventory;
  FakeAutomation automation(inventory);
  FakeHost host;
  host.parameter = parameters(L"alice", L"secret", L"web01", L"on");
  EXPECT_FALSE(runCheck(host, automation, windows1252()));
  EXPECT_EQ(std::count_if(automation.log.begin(), automation.log.end(),
                          [](const auto &op) { return op.starts_with(L"list.Item"); }),
            0);
}

TEST(VMStateName, MapsCodes) {
  const std::vector<std::pair<std::int32_t, std::wstring>> cases = {
      {1, L"on"},    {2, L"off"},    {3, L"suspended"},     {0, L"stuck"},        {4, L"stuck"},
      {5, L"stuck"}, {-1, L"stuck"}, {INT32_MIN, L"stuck"}, {INT32_MAX, L"stuck"}};
  for (const auto &[code, name] : cases)
    EXPECT_EQ(vmserver::VMStateName(code), name) << code;
}

} // namespace
