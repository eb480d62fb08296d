// The availability check from end to end: brennow.vmwarecom created by ProgID and driven
// through IDispatch as a host drives it, against the registered stand-in server. Every test
// writes its own inventory; the stand-in's log shows which calls the check made, and its
// live-object count shows that the check let go of everything it created. The runner
// brennow-check is started as a process of its own against the same inventories.
#include <windows.h>

#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "common/win/automation.h"
#include "params/AnsiCodePage.h"
#include "params/Generic.h"
#include "params/base64.h"
#include "standin/ComValues.h"
#include "standin/Guids.h"
#include "tests/wine/RunnerProcess.h"
#include "tests/wine/wintest.h"

using Microsoft::WRL::ComPtr;
using standin::Variant;
namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------- text

using wintest::fromUtf8;
using wintest::toUtf8;
// The system's own message for a code, without its line end.
std::wstring systemMessage(HRESULT code) {
  wchar_t buffer[512] = {};
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, static_cast<DWORD>(code), 0, buffer, 512, nullptr);
  std::wstring message(buffer, length);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
    message.pop_back();
  return message;
}

// The parameter string the settings dialog writes for these values.
std::wstring parameters(const std::wstring &user, const std::wstring &password,
                        const std::wstring &vm = L"", const std::wstring &state = L"") {
  return brennow::buildParameterString(
      {user, brennow::base64Encode(password, brennow::systemAnsiCodePage()), vm, state});
}

// ---------------------------------------------------------------- values

Variant textValue(std::wstring_view text) { return Variant::fromText(text); }
Variant int32Value(LONG value) { return Variant::fromInt32(value); }
Variant objectValue(const ComPtr<IDispatch> &object) { return Variant::fromDispatch(object.Get()); }

// ---------------------------------------------------------------- the stand-in

using wintest::standinLiveObjects;

// The test server and its account, unless a test says otherwise.
constexpr wchar_t kHost[] = L"srv1";
constexpr wchar_t kUser[] = L"alice";
constexpr wchar_t kPassword[] = L"secret";

std::wstring hostBlock(std::wstring_view host = kHost, std::wstring_view user = kUser,
                       std::wstring_view password = kPassword) {
  return L"host " + std::wstring(host) + L"\nuser " + std::wstring(user) + L"\npassword " +
         std::wstring(password) + L"\n";
}

// ---------------------------------------------------------------- one check as a host runs it

using wintest::errorReport;
using wintest::expectFailureAt;
using wintest::expectOutcome;
using wintest::runCheck;
using Outcome = wintest::CheckOutcome;

class CheckTest : public testing::Test {
protected:
  void SetUp() override {
    plugin_ = wintest::createPlugin();
    ASSERT_TRUE(plugin_) << "brennow.vmwarecom cannot be created: is brennow.dll registered?";
  }

  void TearDown() override {
    plugin_.Reset();
    EXPECT_EQ(standinLiveObjects(), 0);
  }

  void put(const wchar_t *property, Variant value) {
    EXPECT_EQ(wintest::putProperty(plugin_.Get(), property, *value.get()), S_OK) << property;
  }
  void putText(const wchar_t *property, std::wstring_view text) { put(property, textValue(text)); }

  Outcome check(std::wstring_view hostname, std::wstring_view parameter) {
    putText(L"qm_hostname", hostname);
    putText(L"qm_parameter", parameter);
    return runCheck(plugin_.Get());
  }

  // The stand-in's calls during one check of `vm` and `state` on the test server holding
  // `machines`; the check must end in `answer` and `message`.
  std::vector<std::wstring> loggedCheck(std::wstring_view machines, const wchar_t *vm,
                                        const wchar_t *state, bool answer,
                                        const std::wstring &message) {
    files_.writeInventory(hostBlock() + std::wstring(machines));
    files_.startLog();
    expectOutcome(check(kHost, parameters(kUser, kPassword, vm, state)), answer, message);
    return files_.logLines();
  }

  // Every test writes its own inventory; startLog makes the stand-in log the calls.
  wintest::StandinFiles files_{"brennow-check"};
  ComPtr<IDispatch> plugin_;
};

// The live-object count that every check is held to is the stand-in's own, and it counts.
TEST_F(CheckTest, LiveObjectCountSeesStandInObjects) {
  ComPtr<IUnknown> held;
  ASSERT_EQ(CoCreateInstance(standin::clsidConnectParams, nullptr, CLSCTX_INPROC_SERVER,
                             IID_PPV_ARGS(&held)),
            S_OK);
  const HMODULE dll = GetModuleHandleW(L"vmstandin.dll");
  ASSERT_TRUE(dll);
  EXPECT_EQ(GetProcAddress(dll, MAKEINTRESOURCEA(5)), GetProcAddress(dll, "StandinLiveObjects"));
  EXPECT_EQ(standinLiveObjects(), 1);
  held.Reset();
  EXPECT_EQ(standinLiveObjects(), 0);
}

// ---------------------------------------------------------------- outcomes

struct OutcomeCase {
  const char *name;
  const wchar_t *machines; // the machine lines of the host
  const wchar_t *vm;
  const wchar_t *state;
  bool answer;
  const wchar_t *message;
};

const OutcomeCase outcomeCases[] = {
    {"CountOfThree", L"machine 1 web01\nmachine 2 db01\nmachine 3 app01\n", L"", L"", true,
     L"3 registered virtual machine(s) on this server"},
    {"CountOfOneHasNoLeadingBlank", L"machine 1 web01\n", L"", L"", true,
     L"1 registered virtual machine(s) on this server"},
    {"CountOnlyIgnoresTheExpectedState", L"machine 2 web01\nmachine 2 db01\n", L"", L"on", true,
     L"2 registered virtual machine(s) on this server"},
    {"ZeroMachines", L"", L"", L"", false, L"No registered virtual machines on this server"},
    {"ZeroMachinesWithAMachineNamed", L"", L"web01", L"on", false,
     L"No registered virtual machines on this server"},
    {"MachineOn", L"machine 1 web01\nmachine 2 db01\n", L"web01", L"on", true,
     L"Virtual machine (web01) is on"},
    {"MachineOff", L"machine 1 web01\nmachine 2 db01\n", L"db01", L"off", true,
     L"Virtual machine (db01) is off"},
    {"MachineSuspended", L"machine 3 web01\n", L"web01", L"suspended", true,
     L"Virtual machine (web01) is suspended"},
    {"OtherState", L"machine 1 web01\n", L"web01", L"off", false,
     L"Virtual machine (web01) is in a on state while it should be off"},
    {"ExpectedStateLetterCaseMatters", L"machine 1 web01\n", L"web01", L"On", false,
     L"Virtual machine (web01) is in a on state while it should be On"},
    {"EmptyExpectedState", L"machine 2 web01\n", L"web01", L"", false,
     L"Virtual machine (web01) is in a off state while it should be "},
    {"NotListed", L"machine 1 web01\nmachine 2 db01\n", L"web02", L"on", false,
     L"Can't get the state of this (web02) virtual machine, it's not listed as a known one"},
    {"NameLetterCaseMatters", L"machine 1 web01\n", L"WEB01", L"on", false,
     L"Can't get the state of this (WEB01) virtual machine, it's not listed as a known one"},
    {"NameWithBlanksInside", L"machine 1 web01\nmachine 3 build agent (nightly)\n",
     L"build agent (nightly)", L"suspended", true,
     L"Virtual machine (build agent (nightly)) is suspended"},
    {"NameBeyondAscii", L"machine 2 Prüfstand-Ωμέγα\n", L"Prüfstand-Ωμέγα", L"on", false,
     L"Virtual machine (Prüfstand-Ωμέγα) is in a off state while it should be on"},
    {"StateCode0IsStuck", L"machine 0 vm\n", L"vm", L"stuck", true,
     L"Virtual machine (vm) is stuck"},
    {"StateCode4IsStuck", L"machine 4 vm\n", L"vm", L"stuck", true,
     L"Virtual machine (vm) is stuck"},
    {"StateCode5IsStuck", L"machine 5 vm\n", L"vm", L"stuck", true,
     L"Virtual machine (vm) is stuck"},
    {"StateCodeMinus1IsStuck", L"machine -1 vm\n", L"vm", L"stuck", true,
     L"Virtual machine (vm) is stuck"},
    {"LargestStateCodeIsStuck", L"machine 2147483647 vm\n", L"vm", L"stuck", true,
     L"Virtual machine (vm) is stuck"},
    {"SmallestStateCodeIsStuck", L"machine 0x80000000 vm\n", L"vm", L"stuck", true,
     L"Virtual machine (vm) is stuck"},
    {"StuckAgainstOn", L"machine 4 vm\n", L"vm", L"on", false,
     L"Virtual machine (vm) is in a stuck state while it should be on"},
    {"FirstOfDuplicateNamesWins", L"machine 1 web01\nmachine 2 twin\nmachine 1 twin\n", L"twin",
     L"off", true, L"Virtual machine (twin) is off"},
    {"SecondOfDuplicateNamesIsNotUsed", L"machine 1 web01\nmachine 2 twin\nmachine 1 twin\n",
     L"twin", L"on", false, L"Virtual machine (twin) is in a off state while it should be on"},
    {"UnknownExpectedForAMachineNotListed", L"machine 1 web01\n", L"ghost", L"unknown", true,
     L"Virtual machine (ghost) is unknown"},
    {"UnknownExpectedForAListedMachine", L"machine 1 web01\n", L"web01", L"unknown", false,
     L"Virtual machine (web01) is in a on state while it should be unknown"},
};

class CheckOutcomeTest : public CheckTest, public testing::WithParamInterface<OutcomeCase> {};

TEST_P(CheckOutcomeTest, AnswerAndMessage) {
  const OutcomeCase &c = GetParam();
  files_.writeInventory(hostBlock() + c.machines);
  expectOutcome(check(kHost, parameters(kUser, kPassword, c.vm, c.state)), c.answer, c.message);
}

INSTANTIATE_TEST_SUITE_P(Table, CheckOutcomeTest, testing::ValuesIn(outcomeCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(CheckTest, ValuesKeepTheirLetterCaseAndBlanksFromTheParameterString) {
  files_.writeInventory(hostBlock(kHost, L" Alice ", L" Se cret ") + L"machine 1  web01 \n");
  const std::wstring password = brennow::base64Encode(L" Se cret ", brennow::systemAnsiCodePage());
  expectOutcome(check(kHost, L"#USR= Alice #PWD=" + password + L"#VMN= web01 #VMS= on #"), false,
                L"Virtual machine ( web01 ) is in a on state while it should be  on ");
}

TEST_F(CheckTest, EmptyParameterStringConnectsWithAnEmptyAccount) {
  files_.writeInventory(hostBlock(kHost, L"", L"") + L"machine 1 web01\nmachine 1 db01\n");
  files_.startLog();
  expectOutcome(check(kHost, L""), true, L"2 registered virtual machine(s) on this server");
  const auto log = files_.logLines();
  EXPECT_NE(std::find(log.begin(), log.end(), L"params.Username="), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), L"params.Password="), log.end());
}

TEST_F(CheckTest, EmptyParameterStringIsRefusedByAServerThatWantsAnAccount) {
  files_.writeInventory(hostBlock() + L"machine 1 web01\n");
  expectOutcome(check(kHost, L""), false,
                errorReport(L"Incorrect user name or password for host srv1", 130));
}

TEST_F(CheckTest, EmptyHostNameIsPassedOnAsEmptyText) {
  files_.writeInventory(hostBlock(L"") + L"machine 1 web01\n" + hostBlock() +
                        L"machine 1 web01\nmachine 1 db01\n");
  expectOutcome(check(L"", parameters(kUser, kPassword)), true,
                L"1 registered virtual machine(s) on this server");
}

// ---------------------------------------------------------------- failures

TEST_F(CheckTest, WrongPasswordFailsAtTheConnectWithTheServersDescription) {
  files_.writeInventory(hostBlock() + L"machine 1 web01\n");
  expectOutcome(check(kHost, parameters(kUser, L"wrong", L"web01", L"on")), false,
                L"ERR: Incorrect user name or password for host srv1(at  130)");
}

TEST_F(CheckTest, UnknownHostFailsAtTheConnect) {
  files_.writeInventory(hostBlock() + L"machine 1 web01\n");
  expectOutcome(check(L"nowhere", parameters(kUser, kPassword)), false,
                errorReport(L"Unknown host: nowhere", 130));
}

TEST_F(CheckTest, MalformedPasswordFailsBeforeAnyObjectIsCreated) {
  files_.writeInventory(hostBlock() + L"machine 1 web01\n");
  files_.startLog();
  expectFailureAt(check(kHost, L"#USR=alice#PWD==abc#"), 50);
  EXPECT_TRUE(files_.logLines().empty());
}

// Error information that an earlier, unrelated call left on the host's thread is not the
// description of a failure inside the check.
class CheckStaleErrorInfoTest
    : public CheckTest,
      public testing::WithParamInterface<std::tuple<const wchar_t *, int>> {};

TEST_P(CheckStaleErrorInfoTest, IsNotReportedAsTheFailure) {
  const auto [property, statement] = GetParam();
  files_.writeInventory(hostBlock() + L"machine 1 web01\n");
  putText(L"qm_hostname", kHost);
  putText(L"qm_parameter", parameters(kUser, kPassword));
  Variant null;
  V_VT(null.get()) = VT_NULL;
  put(property, std::move(null));
  brennow::win::setErrorInfo(IID_IUnknown, L"elsewhere", L"An earlier, unrelated failure");
  const Outcome outcome = runCheck(plugin_.Get());
  expectFailureAt(outcome, statement);
  EXPECT_EQ(outcome.result.find(L"An earlier, unrelated failure"), std::wstring::npos)
      << toUtf8(outcome.result);
}

INSTANTIATE_TEST_SUITE_P(NullValues, CheckStaleErrorInfoTest,
                         testing::Values(std::make_tuple(L"qm_parameter", 40),
                                         std::make_tuple(L"qm_hostname", 100)),
                         [](const auto &info) { return toUtf8(std::get<0>(info.param)); });

// Each operation of the stand-in fails in turn, in each of its three styles.
struct FaultTarget {
  const char *name;
  const wchar_t *machines;
  const wchar_t *faultLine; // the fault line up to its style
  const wchar_t *vm;
  int statement;
};

const FaultTarget faultTargets[] = {
    {"Connect", L"machine 1 web01\n", L"fault connect", L"web01", 130},
    {"List", L"machine 1 web01\n", L"fault list", L"web01", 140},
    {"Count", L"machine 1 web01\n", L"fault count", L"web01", 150},
    {"Item", L"machine 1 web01\nmachine 2 db01\nmachine 3 app01\n", L"fault item 2", L"app01", 370},
    {"MachineConnect", L"machine 1 web01\nmachine 2 db01\n", L"fault machine-connect", L"db01",
     390},
    {"State", L"machine 1 web01\nmachine 2 db01\n", L"fault state", L"db01", 400},
};

const wchar_t *const faultStyles[] = {L"immediate", L"deferred", L"errorinfo"};

// The stand-in's default code for the operation, or a code of the fault's own.
const wchar_t *const faultCodes[] = {L"", L":0x80004005"};

using FaultCase = std::tuple<FaultTarget, const wchar_t *, const wchar_t *>;

class CheckFaultTest : public CheckTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(CheckFaultTest, ReportNamesTheStatementWithTheServersDescription) {
  const FaultTarget &target = std::get<0>(GetParam());
  const std::wstring style = std::get<1>(GetParam());
  const std::wstring code = std::get<2>(GetParam());
  const std::wstring description =
      L"Test failure of " + fromUtf8(target.name) + L" in the " + style + L" style";
  files_.writeInventory(hostBlock() + target.machines + target.faultLine + L" " + style + code +
                        L" " + description + L"\n");
  expectOutcome(check(kHost, parameters(kUser, kPassword, target.vm, L"on")), false,
                errorReport(description, target.statement));
}

std::string faultCaseName(const testing::TestParamInfo<FaultCase> &info) {
  const FaultTarget &target = std::get<0>(info.param);
  return std::string(target.name) + "_" + toUtf8(std::get<1>(info.param)) +
         (*std::get<2>(info.param) ? "_OwnCode" : "");
}

INSTANTIATE_TEST_SUITE_P(Sweep, CheckFaultTest,
                         testing::Combine(testing::ValuesIn(faultTargets),
                                          testing::ValuesIn(faultStyles),
                                          testing::ValuesIn(faultCodes)),
                         faultCaseName);

// A failure without a description of its own is described by the system's text for its code.
class CheckFaultWithoutTextTest : public CheckTest,
                                  public testing::WithParamInterface<const wchar_t *> {};

TEST_P(CheckFaultWithoutTextTest, ReportCarriesTheSystemsText) {
  const std::wstring expected = systemMessage(E_ACCESSDENIED);
  ASSERT_FALSE(expected.empty());
  files_.writeInventory(hostBlock() + L"machine 1 web01\nfault connect " + GetParam() +
                        L":0x80070005\n");
  expectOutcome(check(kHost, parameters(kUser, kPassword)), false, errorReport(expected, 130));
}

INSTANTIATE_TEST_SUITE_P(Styles, CheckFaultWithoutTextTest, testing::ValuesIn(faultStyles),
                         [](const auto &info) { return toUtf8(info.param); });

// ---------------------------------------------------------------- objects that cannot be created

// A class object that refuses every creation, with or without error information.
class RefusingClassObject final : public wintest::ComObject<RefusingClassObject, IClassFactory> {
public:
  RefusingClassObject(HRESULT refusal, std::wstring description)
      : refusal_(refusal), description_(std::move(description)) {}

  STDMETHODIMP CreateInstance(IUnknown *, REFIID, void **object) override {
    if (object)
      *object = nullptr;
    ++creations_;
    if (!description_.empty())
      brennow::win::setErrorInfo(IID_IClassFactory, L"check_tests", description_);
    return refusal_;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

  int creations() const noexcept { return creations_; }

private:
  HRESULT refusal_;
  std::wstring description_;
  int creations_ = 0;
};

// Puts a class object in front of the registered class while it lives (this process only).
class ClassOverride {
public:
  ClassOverride(const CLSID &clsid, IClassFactory *classObject) {
    EXPECT_EQ(CoRegisterClassObject(clsid, classObject, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                    &cookie_),
              S_OK);
  }
  ClassOverride(const ClassOverride &) = delete;
  ClassOverride &operator=(const ClassOverride &) = delete;
  ~ClassOverride() {
    if (cookie_)
      CoRevokeClassObject(cookie_);
  }

private:
  DWORD cookie_ = 0;
};

struct CreationCase {
  const char *name;
  const CLSID *clsid;
  int statement;
};

const CreationCase creationCases[] = {
    {"ConnectionParameters", &standin::clsidConnectParams, 80},
    {"Server", &standin::clsidServer, 90},
    {"Machine", &standin::clsidMachine, 380},
};

class CheckCreationTest : public CheckTest, public testing::WithParamInterface<CreationCase> {
protected:
  Outcome checkWithRefusingClass(HRESULT refusal, const std::wstring &description) {
    files_.writeInventory(hostBlock() + L"machine 1 web01\n");
    auto refusing = RefusingClassObject::make(refusal, description);
    Outcome outcome;
    {
      ClassOverride override(*GetParam().clsid, refusing.Get());
      outcome = check(kHost, parameters(kUser, kPassword, L"web01", L"on"));
    }
    EXPECT_EQ(refusing->creations(), 1) << "the check did not ask the class for an object";
    // Its registration revoked, the class object is held by this test alone.
    EXPECT_EQ(refusing.Reset(), 0u) << "the class object is still held";
    return outcome;
  }
};

TEST_P(CheckCreationTest, ClassNotRegisteredIsReportedWithTheSystemsText) {
  const Outcome outcome = checkWithRefusingClass(REGDB_E_CLASSNOTREG, L"");
  const std::wstring systemText = systemMessage(REGDB_E_CLASSNOTREG);
  if (!systemText.empty()) {
    expectOutcome(outcome, false, errorReport(systemText, GetParam().statement));
  } else {
    // Wine's message table has no text for this code: the component supplies the usual one.
    expectOutcome(outcome, false, errorReport(L"Class not registered", GetParam().statement));
  }
}

TEST_P(CheckCreationTest, RefusalWithErrorInformationIsReportedWithItsDescription) {
  expectOutcome(checkWithRefusingClass(E_FAIL, L"The class refuses to make objects"), false,
                errorReport(L"The class refuses to make objects", GetParam().statement));
}

INSTANTIATE_TEST_SUITE_P(Classes, CheckCreationTest, testing::ValuesIn(creationCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- the calls the check makes

TEST_F(CheckTest, CallSequenceOfAFoundMachine) {
  const auto log =
      loggedCheck(L"machine 1 web01\nmachine 2 db01\nmachine 3 db01\nmachine 1 app01\n", L"db01",
                  L"off", true, L"Virtual machine (db01) is off");
  const std::vector<std::wstring> expected = {
      L"create params",
      L"create server",
      L"params.Hostname=srv1",
      L"params.Username=alice",
      L"params.Password=secret",
      L"server.Connect",
      L"server.RegisteredVmNames",
      L"create list",
      L"list.Count", // is the list empty?
      L"list.Count", // the loop's bound
      L"list.Item(1)",
      L"list.Item(2)", // the first match ends the search: items 3 and 4 are never read
      L"create machine",
      L"list.Item(2)", // read again for the connect
      L"machine.Connect(db01)",
      L"machine.ExecutionState",
      L"release machine", // at once, before the count is read once more
      L"list.Count",
      L"release list",
      L"release params",
      L"release server",
  };
  EXPECT_EQ(log, expected);
}

// The log lines that start with `prefix`, in their order.
std::vector<std::wstring> linesNamed(const std::vector<std::wstring> &log,
                                     std::wstring_view prefix) {
  std::vector<std::wstring> found;
  std::copy_if(log.begin(), log.end(), std::back_inserter(found),
               [&](const std::wstring &line) { return line.starts_with(prefix); });
  return found;
}

const std::vector<std::wstring> kNormalRelease = {L"release list", L"release params",
                                                  L"release server"};

std::vector<std::wstring> lastLines(const std::vector<std::wstring> &log, std::size_t count) {
  return std::vector<std::wstring>(
      log.end() - static_cast<std::ptrdiff_t>(std::min(count, log.size())), log.end());
}

// The calls of a check that connected no machine: the count read `counts` times, exactly
// `items` read, no machine created, and the normal release at the end.
void expectNoMachineConnected(const std::vector<std::wstring> &log, std::size_t counts,
                              const std::vector<std::wstring> &items) {
  EXPECT_EQ(linesNamed(log, L"list.Count").size(), counts);
  EXPECT_EQ(linesNamed(log, L"list.Item"), items);
  EXPECT_TRUE(linesNamed(log, L"create machine").empty());
  EXPECT_EQ(lastLines(log, 3), kNormalRelease);
}

TEST_F(CheckTest, CountOnlyReadsTheCountTwiceAndNoItem) {
  expectNoMachineConnected(loggedCheck(L"machine 1 web01\nmachine 2 db01\n", L"", L"", true,
                                       L"2 registered virtual machine(s) on this server"),
                           2, {});
}

TEST_F(CheckTest, ZeroCountReadsTheCountOnceAndNoItem) {
  expectNoMachineConnected(
      loggedCheck(L"", L"web01", L"on", false, L"No registered virtual machines on this server"), 1,
      {});
}

TEST_F(CheckTest, MachineNotListedReadsEveryItemOnceFromOneAndCreatesNoMachine) {
  expectNoMachineConnected(
      loggedCheck(L"machine 1 web01\nmachine 2 db01\nmachine 3 app01\n", L"mail01", L"on", false,
                  L"Can't get the state of this (mail01) virtual machine, it's not listed as a "
                  L"known one"),
      2, {L"list.Item(1)", L"list.Item(2)", L"list.Item(3)"});
}

TEST_F(CheckTest, FailureReleasesTheParametersThenTheServerThenWhatIsLeft) {
  auto tail = lastLines(loggedCheck(L"machine 1 web01\nfault state deferred No state\n", L"web01",
                                    L"on", false, errorReport(L"No state", 400)),
                        5);
  ASSERT_EQ(tail.size(), 5u);
  EXPECT_EQ(tail[0], L"machine.ExecutionState");
  EXPECT_EQ(tail[1], L"release params");
  EXPECT_EQ(tail[2], L"release server");
  // The list and the machine left behind go when the check returns, in either order.
  std::sort(tail.begin() + 3, tail.end());
  EXPECT_EQ(tail[3], L"release list");
  EXPECT_EQ(tail[4], L"release machine");
}

TEST_F(CheckTest, FailedConnectReleasesTheParametersThenTheServer) {
  files_.writeInventory(hostBlock() + L"machine 1 web01\n");
  files_.startLog();
  check(kHost, parameters(kUser, L"wrong"));
  const std::vector<std::wstring> tail = {L"server.Connect", L"release params", L"release server"};
  EXPECT_EQ(lastLines(files_.logLines(), 3), tail);
}

TEST_F(CheckTest, ItemZeroIsNeverRequested) {
  files_.writeInventory(hostBlock() + L"machine 1 web01\nmachine 2 db01\n");
  files_.startLog();
  check(kHost, parameters(kUser, kPassword, L"db01", L"off"));
  check(kHost, parameters(kUser, kPassword, L"none", L"off"));
  check(kHost, parameters(kUser, kPassword, L"web01", L"on"));
  const auto log = files_.logLines();
  EXPECT_FALSE(linesNamed(log, L"list.Item").empty());
  EXPECT_TRUE(linesNamed(log, L"list.Item(0)").empty());
}

TEST_F(CheckTest, EveryRunConnectsAfresh) {
  files_.writeInventory(hostBlock() + L"machine 1 web01\n");
  files_.startLog();
  expectOutcome(check(kHost, parameters(kUser, kPassword)), true,
                L"1 registered virtual machine(s) on this server");
  // The server is asked again: a changed inventory shows at once.
  files_.writeInventory(hostBlock() + L"machine 1 web01\nmachine 2 db01\n");
  expectOutcome(runCheck(plugin_.Get()), true, L"2 registered virtual machine(s) on this server");
  EXPECT_EQ(linesNamed(files_.logLines(), L"server.Connect").size(), 2u);
}

// ---------------------------------------------------------------- property values of every kind

struct ValueKind {
  const char *name;
  Variant (*make)();
  // The value's text form; none when it cannot be taken as text.
  std::optional<std::wstring> (*text)();
};

std::optional<std::wstring> noText() { return std::nullopt; }

const std::wstring &longText() {
  static const std::wstring text(1 << 20, L'x');
  return text;
}

Variant scalar(VARTYPE type, auto assign) {
  Variant value;
  V_VT(value.get()) = type;
  assign(*value.get());
  return value;
}

constexpr DATE kSomeDate = 45306.75; // 15 January 2024, 18:00

std::wstring textOfDate(DATE date) {
  brennow::win::Bstr text;
  VarBstrFromDate(date, LOCALE_USER_DEFAULT, 0, text.out());
  return text.text();
}

std::wstring textOfDouble(double number) {
  brennow::win::Bstr text;
  VarBstrFromR8(number, LOCALE_USER_DEFAULT, 0, text.out());
  return text.text();
}

Variant arrayValue() {
  SAFEARRAY *array = SafeArrayCreateVector(VT_VARIANT, 0, 2);
  for (LONG i = 0; i < 2; ++i) {
    Variant element = int32Value(i + 1);
    SafeArrayPutElement(array, &i, element.get());
  }
  Variant value;
  V_VT(value.get()) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(value.get()) = array;
  return value;
}

const ValueKind valueKinds[] = {
    {"Empty", [] { return Variant(); }, []() -> std::optional<std::wstring> { return L""; }},
    {"Null", [] { return scalar(VT_NULL, [](VARIANT &) {}); }, noText},
    // A null BSTR is the empty text.
    {"NullText", [] { return scalar(VT_BSTR, [](VARIANT &v) { V_BSTR(&v) = nullptr; }); },
     []() -> std::optional<std::wstring> { return L""; }},
    {"Int16", [] { return scalar(VT_I2, [](VARIANT &v) { V_I2(&v) = -7; }); },
     []() -> std::optional<std::wstring> { return L"-7"; }},
    {"Int32", [] { return int32Value(42); }, []() -> std::optional<std::wstring> { return L"42"; }},
    {"Int64", [] { return scalar(VT_I8, [](VARIANT &v) { V_I8(&v) = 9000000000LL; }); },
     []() -> std::optional<std::wstring> { return L"9000000000"; }},
    {"Double", [] { return scalar(VT_R8, [](VARIANT &v) { V_R8(&v) = 2.5; }); },
     []() -> std::optional<std::wstring> { return textOfDouble(2.5); }},
    {"True", [] { return scalar(VT_BOOL, [](VARIANT &v) { V_BOOL(&v) = VARIANT_TRUE; }); },
     []() -> std::optional<std::wstring> { return L"True"; }},
    {"False", [] { return scalar(VT_BOOL, [](VARIANT &v) { V_BOOL(&v) = VARIANT_FALSE; }); },
     []() -> std::optional<std::wstring> { return L"False"; }},
    {"Date", [] { return scalar(VT_DATE, [](VARIANT &v) { V_DATE(&v) = kSomeDate; }); },
     []() -> std::optional<std::wstring> { return textOfDate(kSomeDate); }},
    // Another plug-in object: it has no default member, so it has no text form.
    {"Object", [] { return objectValue(wintest::createPlugin()); }, noText},
    {"Array", arrayValue, noText},
    {"LongText", [] { return textValue(longText()); },
     []() -> std::optional<std::wstring> { return longText(); }},
};

class CheckValueTest : public CheckTest, public testing::WithParamInterface<ValueKind> {
protected:
  // The other properties hold ordinary values; `property` then gets the value of this kind.
  Outcome checkWith(const wchar_t *property) {
    putText(L"qm_hostname", kHost);
    putText(L"qm_timeout", L"30");
    putText(L"qm_parameter", parameters(kUser, kPassword));
    put(property, GetParam().make());
    return runCheck(plugin_.Get());
  }
};

TEST_P(CheckValueTest, TimeoutOfAnyKindHasNoEffect) {
  files_.writeInventory(hostBlock() + L"machine 1 web01\nmachine 2 db01\n");
  files_.startLog();
  expectOutcome(checkWith(L"qm_timeout"), true, L"2 registered virtual machine(s) on this server");
  const auto withValue = files_.logLines();
  files_.startLog();
  putText(L"qm_timeout", L"30");
  runCheck(plugin_.Get());
  EXPECT_EQ(withValue, files_.logLines()) << "the timeout changed the calls";
}

TEST_P(CheckValueTest, HostNameIsTakenAsTextAtStatement100) {
  const auto text = GetParam().text();
  files_.writeInventory(hostBlock() + L"machine 1 web01\n" +
                        (text ? hostBlock(*text) + L"machine 1 web01\nmachine 2 db01\n" : L""));
  const Outcome outcome = checkWith(L"qm_hostname");
  if (text)
    expectOutcome(outcome, true, L"2 registered virtual machine(s) on this server");
  else
    expectFailureAt(outcome, 100);
}

TEST_P(CheckValueTest, ParameterIsTakenAsTextAtStatement40) {
  // Values that are no parameter string hold no keys: the check connects with an empty account.
  files_.writeInventory(hostBlock(kHost, L"", L"") + L"machine 1 web01\nmachine 2 db01\n");
  const Outcome outcome = checkWith(L"qm_parameter");
  if (GetParam().text())
    expectOutcome(outcome, true, L"2 registered virtual machine(s) on this server");
  else
    expectFailureAt(outcome, 40);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CheckValueTest, testing::ValuesIn(valueKinds),
                         [](const auto &info) { return std::string(info.param.name); });

// A connect that takes longer than qm_timeout (in seconds) still ends in the server's answer.
TEST_F(CheckTest, TimeoutIsNotAppliedToASlowServer) {
  files_.writeInventory(L"delay connect 1500\n" + hostBlock() + L"machine 1 web01\n");
  putText(L"qm_timeout", L"1");
  const auto start = std::chrono::steady_clock::now();
  expectOutcome(check(kHost, parameters(kUser, kPassword)), true,
                L"1 registered virtual machine(s) on this server");
  EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
      << "the check ended within the timeout, so the server was not slow";
}

TEST_F(CheckTest, LongParameterStringIsReadWhole) {
  files_.writeInventory(hostBlock() + L"machine 1 web01\n");
  expectOutcome(check(kHost, L"#PAD=" + longText() + parameters(kUser, kPassword, L"web01", L"on")),
                true, L"Virtual machine (web01) is on");
}

TEST_F(CheckTest, LongHostNameReachesTheServerWhole) {
  files_.writeInventory(hostBlock() + L"machine 1 web01\n");
  expectOutcome(check(longText(), parameters(kUser, kPassword)), false,
                errorReport(L"Unknown host: " + longText(), 130));
}

TEST_F(CheckTest, ResultHeldAsAnObjectIsReplacedByText) {
  files_.writeInventory(hostBlock() + L"machine 1 web01\n");
  Variant object = objectValue(wintest::createPlugin());
  ASSERT_EQ(wintest::putProperty(plugin_.Get(), L"qm_result", *object.get(), true), S_OK);
  expectOutcome(check(kHost, parameters(kUser, kPassword)), true,
                L"1 registered virtual machine(s) on this server");
}

TEST_F(CheckTest, SecondRunReplacesTheFirstRunsResult) {
  files_.writeInventory(hostBlock() + L"machine 1 web01\n");
  expectOutcome(check(kHost, parameters(kUser, L"wrong")), false,
                errorReport(L"Incorrect user name or password for host srv1", 130));
  expectOutcome(check(kHost, parameters(kUser, kPassword, L"web01", L"on")), true,
                L"Virtual machine (web01) is on");
}

// ---------------------------------------------------------------- the runner

using wintest::ProgramRun;
using wintest::runnerPath;
using wintest::runRunner;
using wintest::singleLine;

struct RunnerCase {
  const char *name;
  std::vector<std::wstring> arguments;
  DWORD exitCode;
  const wchar_t *message;
  // The same check made in-process: host name and parameter string.
  const wchar_t *hostname;
  std::wstring parameter;
};

std::vector<RunnerCase> runnerCases() {
  return {
      {"TrueExitsWith0",
       {L"--host", kHost, L"--user", kUser, L"--password", kPassword, L"--vm", L"web01", L"--state",
        L"on"},
       0,
       L"Virtual machine (web01) is on",
       kHost,
       parameters(kUser, kPassword, L"web01", L"on")},
      {"FalseExitsWith2",
       {L"--host", kHost, L"--user", kUser, L"--password", kPassword, L"--vm", L"web01", L"--state",
        L"off", L"--timeout", L"5"},
       2,
       L"Virtual machine (web01) is in a on state while it should be off",
       kHost,
       parameters(kUser, kPassword, L"web01", L"off")},
      {"CountOnly",
       {L"--host", kHost, L"--user", kUser, L"--password", kPassword},
       0,
       L"2 registered virtual machine(s) on this server",
       kHost,
       parameters(kUser, kPassword)},
      {"ParameterStringUsedWhole",
       {L"--host", kHost, L"--parameter", parameters(kUser, kPassword, L"db 02", L"suspended")},
       0,
       L"Virtual machine (db 02) is suspended",
       kHost,
       parameters(kUser, kPassword, L"db 02", L"suspended")},
      {"NameBeyondAscii",
       {L"--host", kHost, L"--user", kUser, L"--password", kPassword, L"--vm", L"Prüfstand-Ω",
        L"--state", L"on"},
       2,
       L"Can't get the state of this (Prüfstand-Ω) virtual machine, it's not listed as a known one",
       kHost,
       parameters(kUser, kPassword, L"Prüfstand-Ω", L"on")},
      {"ExplicitAutomationType",
       {L"--host", kHost, L"--user", kUser, L"--password", kPassword, L"--vm", L"web01", L"--state",
        L"on", L"--server-type", L"automation"},
       0,
       L"Virtual machine (web01) is on",
       kHost,
       parameters(kUser, kPassword, L"web01", L"on")},
      // The web-services adapter, not the stand-in, answers: nothing listens on port 9.
      {"VSphereType",
       {L"--host", L"127.0.0.1:9", L"--user", kUser, L"--password", kPassword, L"--server-type",
        L"vsphere", L"--thumbprint", std::wstring(64, L'A')},
       2,
       L"ERR: Could not connect to 127.0.0.1 on port 9(at  130)",
       L"127.0.0.1:9",
       L"#VSTP=VSPHERE" + parameters(kUser, kPassword).substr(12) + L"THUMB=" +
           std::wstring(64, L'A') + L"#"},
      {"WrongPasswordExitsWith2",
       {L"--host", kHost, L"--user", kUser, L"--password", L"wrong"},
       2,
       L"ERR: Incorrect user name or password for host srv1(at  130)",
       kHost,
       parameters(kUser, L"wrong")},
  };
}

class RunnerTest : public CheckTest, public testing::WithParamInterface<RunnerCase> {};

TEST_P(RunnerTest, ExitCodeAndTheResultOnOneLine) {
  const RunnerCase &c = GetParam();
  files_.writeInventory(hostBlock() + L"machine 1 web01\nmachine 3 db 02\n");
  const ProgramRun run = runRunner(c.arguments);
  EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
  const std::wstring line = singleLine(run.out);
  EXPECT_EQ(line, c.message);
  // The same check made here, as a host makes it, leaves the same text in qm_result.
  EXPECT_EQ(line, check(c.hostname, c.parameter).result);
}

INSTANTIATE_TEST_SUITE_P(Cases, RunnerTest, testing::ValuesIn(runnerCases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Runner, HelpPrintsTheUsageAndExitsWith0) {
  const ProgramRun run = runRunner({L"--help"});
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(run.out.starts_with("Usage: brennow-check")) << run.out;
  EXPECT_NE(run.out.find("Exit codes"), std::string::npos);
}

TEST(Runner, BadOptionsExitWith64AndTheUsageOnTheErrorStream) {
  for (const std::vector<std::wstring> &arguments :
       std::vector<std::vector<std::wstring>>{{L"--bogus", L"x"},
                                              {},
                                              {L"--host"},
                                              {L"--vm", L"web01"},
                                              {L"--host", L"h", L"--server-type", L"esx"},
                                              {L"--host", L"h", L"--thumbprint", L"AB"}}) {
    const ProgramRun run = runRunner(arguments);
    EXPECT_EQ(run.exitCode, 64u) << arguments.size() << " arguments";
    EXPECT_TRUE(run.err.starts_with("Usage: brennow-check")) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
}

bool underWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// Wine's loader reads per-program settings from the registry; this one refuses to load a DLL
// into every process of one program name while it lives.
class RefusedDllForProgram {
public:
  RefusedDllForProgram(const std::wstring &program, const wchar_t *dll)
      : key_(L"Software\\Wine\\AppDefaults\\" + program) {
    const wchar_t disabled[] = L"";
    EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, (key_ + L"\\DllOverrides").c_str(), dll, REG_SZ,
                              disabled, sizeof disabled),
              ERROR_SUCCESS);
  }
  RefusedDllForProgram(const RefusedDllForProgram &) = delete;
  RefusedDllForProgram &operator=(const RefusedDllForProgram &) = delete;
  ~RefusedDllForProgram() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }

private:
  std::wstring key_;
};

// A copy of the runner under a name of its own, into which Wine's loader refuses to load
// brennow.dll: the registered component then cannot be created.
TEST_F(CheckTest, ComponentThatCannotBeCreatedExitsWith3) {
  if (!underWine())
    GTEST_SKIP() << "needs Wine's per-program loader settings";
  files_.writeInventory(hostBlock() + L"machine 1 web01\n");
  const std::wstring name =
      L"brennow-check-refused-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
  const fs::path copy = files_.folder() / name;
  ASSERT_TRUE(fs::copy_file(runnerPath(), copy));
  {
    const RefusedDllForProgram refused(name, L"brennow");
    const ProgramRun run = runRunner({L"--host", kHost}, copy.wstring());
    EXPECT_EQ(run.exitCode, 3u) << run.out;
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_NE(run.err.find("cannot create brennow.vmwarecom"), std::string::npos) << run.err;
  }
  // The same copy without the setting runs the check: the refusal above was the loader's.
  const ProgramRun run = runRunner({L"--host", kHost}, copy.wstring());
  EXPECT_EQ(run.exitCode, 2u) << run.err;
}

} // namespace
