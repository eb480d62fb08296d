// The check through the vSphere Web Services adapter, end to end: brennow.vmwarecom created by
// ProgID and driven through IDispatch as a host drives it, against simulated vCenter and ESX
// servers on loopback (started by the test script, which passes their URLs in SIM_URL_<NAME>).
// After every check the simulator's session count shows that the check logged out.
#include <chrono>
#include <string>

#include "params/AnsiCodePage.h"
#include "params/base64.h"
#include "tests/wine/vsphere/VSphereFixture.h"
#include "vmserver/UntrustedCertificate.h"

using namespace vspheretest;
using wintest::errorReport;
using wintest::expectFailureAt;
using wintest::expectOutcome;
using wintest::toUtf8;

namespace {

// ---------------------------------------------------------------- the simulators

// What the test script starts (scripts/test):
//   VC      vCenter, 6 machines DC0_H0_VM0..5, only monitor / s3cret! logs in; VM1 powered off,
//           VM2 suspended, VM3 waits on a question, VM4 disconnected
//   ESX     ESX host, 3 machines ha-host_VM0..2; VM2 powered off; answers in the simulator
//           library's own XML form (the type attributes' namespace declared on each element,
//           under another prefix), the others as vCenter writes them (xsi:type); the alarm
//           "Virtual machine CPU usage" red on VM1
//   LARGE   vCenter, 400 machines answered all at once (an answer of some 60 KB, sent in
//           chunks of no announced length); VM399 powered off
//   PAGED   vCenter, 25 machines answered 4 a page; VM24 powered off; every machine has the
//           snapshot snap-1 2 days old and its child snap-2 1 day old; datastores LocalDS_0
//           (75 % free), san/01 (25 %), small (30 %); 3 hosts DC0_H0..2, all well; alarms
//           yellow only: "Datastore usage on disk" on san/01, "Virtual machine CPU usage" on
//           VM24
//   CHECKS  vCenter for the checks beyond the machine state (vsphere_checks_tests.cpp), 11
//           machines DC0_H0_VM0..10 answered 4 a page: VM0 well (tools running, heartbeat
//           green, no snapshot), VM1 off, VM2 suspended, VM3 tools not running, VM4 tools
//           executing scripts, VM5 heartbeat red, VM6 heartbeat yellow; snapshots 20 days (and
//           a child of 12) old on VM7, 2 on VM8, 7 and a half on VM9, 3 on VM10, which is
//           named web/10; datastores ds1..6 and nfs/archive, 1000 GiB each with 420, 350, 40,
//           900 (inaccessible), 95 and 100 GiB free, and 4000 GiB with 2000 free; hosts DC0_H0
//           (well, holding the machines), DC0_H1 disconnected, DC0_H2 in maintenance mode,
//           DC0_H3 red, DC0_H4 yellow, DC0_H5 not responding, esx/06 well; alarms "Virtual
//           machine CPU usage" yellow on VM0, "Host connection and power state" red on DC0_H1,
//           "Datastore usage on disk" red on ds3 and yellow on nfs/archive
//   NEWCERT vCenter with a freshly made certificate for localhost and 127.0.0.1, which the
//           suite's run trusts as a root where it can (BRENNOW_TRUSTED_ROOTS=1)
//   SILENT  accepts connections and never answers
//   HTML    plain http, answers every request with an HTML page
//   HTTP500 plain http, answers every request with HTTP 500 and an HTML page
constexpr wchar_t kSimThumbprintAsShown[] = L"44:8f:62:8a:8a:65:aa:18:56:0e:53:a8:0c:53:ac:b3:8c:"
                                            L"51:b4:27:df:03:34:08:23:49:14:11:47:dc:9b:f6";
constexpr wchar_t kOtherThumbprint[] =
    L"00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF";

std::wstring untrusted(bool pinnedMismatch) {
  return brennow::vmserver::UntrustedCertificate(kSimThumbprint, pinnedMismatch).description();
}

// ---------------------------------------------------------------- the outcome table

struct OutcomeCase {
  const char *name;
  const wchar_t *simulator;
  const wchar_t *vm;
  const wchar_t *state;
  bool answer;
  const wchar_t *message;
};

const OutcomeCase outcomeCases[] = {
    {"VCenterCount", L"VC", L"", L"", true, L"6 registered virtual machine(s) on this server"},
    {"VCenterCountIgnoresTheState", L"VC", L"", L"off", true,
     L"6 registered virtual machine(s) on this server"},
    {"On", L"VC", L"DC0_H0_VM0", L"on", true, L"Virtual machine (DC0_H0_VM0) is on"},
    {"Off", L"VC", L"DC0_H0_VM1", L"off", true, L"Virtual machine (DC0_H0_VM1) is off"},
    {"Suspended", L"VC", L"DC0_H0_VM2", L"suspended", true,
     L"Virtual machine (DC0_H0_VM2) is suspended"},
    {"QuestionIsStuck", L"VC", L"DC0_H0_VM3", L"stuck", true,
     L"Virtual machine (DC0_H0_VM3) is stuck"},
    {"DisconnectedIsStuck", L"VC", L"DC0_H0_VM4", L"stuck", true,
     L"Virtual machine (DC0_H0_VM4) is stuck"},
    {"OtherState", L"VC", L"DC0_H0_VM1", L"on", false,
     L"Virtual machine (DC0_H0_VM1) is in a off state while it should be on"},
    {"StuckWhileOnExpected", L"VC", L"DC0_H0_VM3", L"on", false,
     L"Virtual machine (DC0_H0_VM3) is in a stuck state while it should be on"},
    {"NameLetterCaseMatters", L"VC", L"dc0_h0_vm0", L"on", false,
     L"Can't get the state of this (dc0_h0_vm0) virtual machine, it's not listed as a known one"},
    {"UnknownName", L"VC", L"ghost", L"on", false,
     L"Can't get the state of this (ghost) virtual machine, it's not listed as a known one"},
    {"UnknownNameExpectedUnknown", L"VC", L"ghost", L"unknown", true,
     L"Virtual machine (ghost) is unknown"},
    {"EsxCount", L"ESX", L"", L"", true, L"3 registered virtual machine(s) on this server"},
    {"EsxOn", L"ESX", L"ha-host_VM0", L"on", true, L"Virtual machine (ha-host_VM0) is on"},
    {"EsxOff", L"ESX", L"ha-host_VM2", L"off", true, L"Virtual machine (ha-host_VM2) is off"},
    {"EsxOtherState", L"ESX", L"ha-host_VM2", L"on", false,
     L"Virtual machine (ha-host_VM2) is in a off state while it should be on"},
    {"LargeCount", L"LARGE", L"", L"", true, L"400 registered virtual machine(s) on this server"},
    {"LargeLastMachine", L"LARGE", L"DC0_H0_VM399", L"off", true,
     L"Virtual machine (DC0_H0_VM399) is off"},
    {"PagedCount", L"PAGED", L"", L"", true, L"25 registered virtual machine(s) on this server"},
    {"PagedFirstPage", L"PAGED", L"DC0_H0_VM0", L"on", true, L"Virtual machine (DC0_H0_VM0) is on"},
    {"PagedLastPage", L"PAGED", L"DC0_H0_VM24", L"off", true,
     L"Virtual machine (DC0_H0_VM24) is off"},
    {"PagedBeyondTheLastPage", L"PAGED", L"DC0_H0_VM25", L"on", false,
     L"Can't get the state of this (DC0_H0_VM25) virtual machine, it's not listed as a known one"},
};

class VSphereOutcomeTest : public VSphereTest, public testing::WithParamInterface<OutcomeCase> {};

TEST_P(VSphereOutcomeTest, AnswerAndMessage) {
  const OutcomeCase &c = GetParam();
  const std::wstring simulator = url(c.simulator);
  expectOutcome(check(simulator, vsphereParameters(c.vm, c.state)), c.answer, c.message);
}

INSTANTIATE_TEST_SUITE_P(Table, VSphereOutcomeTest, testing::ValuesIn(outcomeCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- how the host is written

// qm_hostname as a URL, as "name:port" (https and /sdk by default), in any letter case of the
// server type.
struct HostFormCase {
  const char *name;
  bool asUrl;
  const wchar_t *serverType;
};

const HostFormCase hostFormCases[] = {
    {"Url", true, L"VSPHERE"},
    {"NameAndPort", false, L"VSPHERE"},
    {"ServerTypeInLowerCase", true, L"vsphere"},
    {"ServerTypeInMixedCase", false, L"vSphere"},
};

class VSphereHostFormTest : public VSphereTest, public testing::WithParamInterface<HostFormCase> {};

TEST_P(VSphereHostFormTest, CountsTheMachines) {
  const HostFormCase &c = GetParam();
  const std::wstring simulator = url(L"VC");
  expectOutcome(check(c.asUrl ? simulator : hostAndPort(simulator),
                      vsphereParameters(L"", L"", kSimThumbprint, {}, c.serverType), L"20",
                      simulator),
                true, L"6 registered virtual machine(s) on this server");
}

INSTANTIATE_TEST_SUITE_P(Forms, VSphereHostFormTest, testing::ValuesIn(hostFormCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- logging in

struct LoginCase {
  const char *name;
  Account account;
};

const LoginCase refusedLogins[] = {
    {"WrongPassword", {kUser, L"wrong"}},
    {"WrongUser", {L"guest", kPassword}},
    {"EmptyAccount", {L"", L""}},
};

class VSphereLoginTest : public VSphereTest, public testing::WithParamInterface<LoginCase> {};

// The description is the server's own fault text.
TEST_P(VSphereLoginTest, FailsAtTheConnectWithTheServersDescription) {
  const std::wstring simulator = url(L"VC");
  expectOutcome(
      check(simulator, vsphereParameters(L"DC0_H0_VM0", L"on", kSimThumbprint, GetParam().account)),
      false, errorReport(L"Login failure", 130));
}

INSTANTIATE_TEST_SUITE_P(Refused, VSphereLoginTest, testing::ValuesIn(refusedLogins),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- certificates

TEST_F(VSphereTest, UntrustedCertificateFailsWithTheThumbprintToPin) {
  const std::wstring simulator = url(L"VC");
  expectOutcome(check(simulator, vsphereParameters(L"DC0_H0_VM0", L"on", L"")), false,
                errorReport(untrusted(false), 130));
}

TEST_F(VSphereTest, PinnedThumbprintAsShownByBrowsersIsTrusted) {
  const std::wstring simulator = url(L"VC");
  expectOutcome(check(simulator, vsphereParameters(L"DC0_H0_VM0", L"on", kSimThumbprintAsShown)),
                true, L"Virtual machine (DC0_H0_VM0) is on");
}

TEST_F(VSphereTest, WrongPinnedThumbprintFails) {
  const std::wstring simulator = url(L"VC");
  expectOutcome(check(simulator, vsphereParameters(L"DC0_H0_VM0", L"on", kOtherThumbprint)), false,
                errorReport(untrusted(true), 130));
}

// A server whose certificate changed since its thumbprint was pinned.
TEST_F(VSphereTest, ChangedCertificateFailsAgainstTheOldPin) {
  const std::wstring simulator = url(L"NEWCERT");
  const wintest::CheckOutcome outcome = check(simulator, vsphereParameters(L"", L""));
  expectFailureAt(outcome, 130);
  EXPECT_EQ(outcome.result.find(kSimThumbprint), std::wstring::npos) << toUtf8(outcome.result);
}

// No thumbprint is needed for a server whose certificate chain the system trusts: scripts/test
// runs this suite with NEWCERT's certificate among the system's trusted roots
// (BRENNOW_TRUSTED_ROOTS=1) where it can give the suite a bundle of its own.
TEST_F(VSphereTest, CertificateTheSystemTrustsNeedsNoThumbprint) {
  if (GetEnvironmentVariableW(L"BRENNOW_TRUSTED_ROOTS", nullptr, 0) == 0)
    GTEST_SKIP() << "NEWCERT's certificate is not among the trusted roots in this run";
  // By the name its certificate carries (Wine's policy matches no IP address entries).
  std::wstring simulator = url(L"NEWCERT");
  simulator.replace(simulator.find(L"127.0.0.1"), 9, L"localhost");
  // The second check goes out over the connection the first one kept.
  for (int round = 0; round < 2; ++round)
    expectOutcome(check(simulator, vsphereParameters(L"", L"", L"")), true,
                  L"2 registered virtual machine(s) on this server");
}

// A connection that a pinned check (or anything else that took the certificate as it was) left
// open does not carry that trust to a later check without a thumbprint.
TEST_F(VSphereTest, ConnectionKeptByAPinnedCheckIsCheckedAgain) {
  const std::wstring simulator = url(L"VC");
  for (int round = 0; round < 2; ++round) {
    expectOutcome(check(simulator, vsphereParameters(L"DC0_H0_VM0", L"on")), true,
                  L"Virtual machine (DC0_H0_VM0) is on");
    expectOutcome(check(simulator, vsphereParameters(L"DC0_H0_VM0", L"on", L"")), false,
                  errorReport(untrusted(false), 130));
  }
}

// ---------------------------------------------------------------- servers that are not there or
// answer wrongly: the check ends with an error at the connect, never hangs, never crashes

struct TransportCase {
  const char *name;
  const wchar_t *simulator; // nullptr: the host below
  const wchar_t *host;
};

const TransportCase transportCases[] = {
    {"NoListener", nullptr, L"https://127.0.0.1:1/sdk"},
    {"UnresolvableName", nullptr, L"vcenter.brennow.invalid"},
    {"HtmlPage", L"HTML", nullptr},
    {"HttpErrorWithoutSoapFault", L"HTTP500", nullptr},
};

class VSphereTransportTest : public VSphereTest,
                             public testing::WithParamInterface<TransportCase> {};

TEST_P(VSphereTransportTest, FailsAtTheConnect) {
  const TransportCase &c = GetParam();
  asksSessions_ = false;
  const std::wstring host = c.simulator ? url(c.simulator) : c.host;
  expectFailureAt(check(host, vsphereParameters(L"DC0_H0_VM0", L"on")), 130);
}

INSTANTIATE_TEST_SUITE_P(Servers, VSphereTransportTest, testing::ValuesIn(transportCases),
                         [](const auto &info) { return std::string(info.param.name); });

// qm_timeout bounds the wait for an answer that never comes; without it the default (60 s)
// would hold the check far longer than asked.
TEST_F(VSphereTest, SilentServerEndsTheCheckWithinTheTimeout) {
  asksSessions_ = false;
  const std::wstring simulator = url(L"SILENT");
  const auto start = std::chrono::steady_clock::now();
  expectFailureAt(check(simulator, vsphereParameters(L"DC0_H0_VM0", L"on"), L"2"), 130);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

// ---------------------------------------------------------------- sessions

// Checks one after the other in one loaded plug-in, as a monitoring host runs them: every one
// logs in afresh and out again.
TEST_F(VSphereTest, RepeatedChecksLeaveNoSession) {
  const std::wstring simulator = url(L"VC");
  for (int round = 0; round < 5; ++round) {
    expectOutcome(check(simulator, vsphereParameters(L"DC0_H0_VM2", L"suspended")), true,
                  L"Virtual machine (DC0_H0_VM2) is suspended");
    EXPECT_EQ(liveSessions(simulator), std::optional<int>(0)) << "round " << round;
  }
}

// The session count the other tests rely on sees a session that is not closed.
TEST_F(VSphereTest, SessionCountSeesALiveSession) {
  asksSessions_ = false;
  const std::wstring simulator = url(L"ESX");
  ASSERT_EQ(liveSessions(simulator), std::optional<int>(0));
  SimulatorClient client(simulator);
  ASSERT_EQ(
      client.sessionManagerCall("Login", "<userName>someone</userName><password>any</password>"),
      200u);
  EXPECT_EQ(liveSessions(simulator), std::optional<int>(1));
  EXPECT_EQ(client.sessionManagerCall("Logout"), 200u);
  EXPECT_EQ(liveSessions(simulator), std::optional<int>(0));
}

// ---------------------------------------------------------------- the automation component stays

// Strings without "VSTP=VSPHERE" take the automation component (here the registered stand-in),
// exactly as before.
class AutomationChoiceTest : public VSphereTest,
                             public testing::WithParamInterface<const wchar_t *> {};

TEST_P(AutomationChoiceTest, StandInAnswers) {
  asksSessions_ = false;
  wintest::StandinFiles files("vsphere-choice");
  files.writeInventory(L"host srv1\nuser alice\npassword secret\nmachine 2 web01\n");
  const std::wstring password = brennow::base64Encode(L"secret", brennow::systemAnsiCodePage());
  expectOutcome(check(L"srv1", std::wstring(GetParam()) + L"USR=alice#PWD=" + password +
                                   L"#VMN=web01#VMS=off#"),
                true, L"Virtual machine (web01) is off");
}

INSTANTIATE_TEST_SUITE_P(Strings, AutomationChoiceTest,
                         testing::Values(L"#VSTP=VMWARE#", L"#VSTP=vmware#", L"#VSTP=#", L"#"),
                         [](const auto &info) { return "Index" + std::to_string(info.index); });

} // namespace
