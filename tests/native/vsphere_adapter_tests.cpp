// The vSphere adapter as the check drives it, over an in-memory endpoint: outcomes,
// the statement of every failure, paging, the session cookie, and a session released
// (view destroyed, logged out) at the end of every run that logged in.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "component/check.h"
#include "params/Generic.h"
#include "params/base64.h"
#include "tests/native/vsphere/CheckRuns.h"
#include "tests/native/vsphere/FakeVSphere.h"
#include "common/utf8.h"
#include "vmserver/vsphere/VSphereAutomation.h"
#include "vmserver/vsphere/native/LibXml2Reader.h"

using namespace brennow;
using namespace brennow::testing;
using namespace brennow::vmserver;
using namespace brennow::vmserver::vsphere;

namespace {

using Host = RecordingHost;

std::wstring parameters(const std::wstring &password, const std::wstring &vm,
                        const std::wstring &state, const std::wstring &thumb = L"") {
  return vsphereParameters(password, vm, state, thumb);
}

CheckRun check(FakeVSphere &server, const std::wstring &parameter,
               const std::wstring &timeout = L"", const std::wstring &hostname = L"vc01") {
  return runCheckOn(server, parameter, timeout, hostname);
}

FakeVSphere inventory() {
  FakeVSphere server;
  server.machines = {{L"web01"},
                     {L"db01", L"poweredOff"},
                     {L"mail", L"suspended"},
                     {L"build", L"poweredOn", L"connected", true},
                     {L"lost", L"poweredOn", L"disconnected"},
                     {L"web01", L"poweredOff"}};
  return server;
}

struct OutcomeCase {
  const char *name;
  const wchar_t *password;
  const wchar_t *vm;
  const wchar_t *state;
  bool answer;
  const wchar_t *result;
};

TEST(VSphereAdapter, CheckOutcomesAndNoSessionLeftBehind) {
  const OutcomeCase cases[] = {
      {"count", L"secret", L"", L"", true, L"6 registered virtual machine(s) on this server"},
      {"on", L"secret", L"web01", L"on", true, L"Virtual machine (web01) is on"},
      {"off", L"secret", L"db01", L"off", true, L"Virtual machine (db01) is off"},
      {"suspended", L"secret", L"mail", L"on", false,
       L"Virtual machine (mail) is in a suspended state while it should be on"},
      {"question", L"secret", L"build", L"stuck", true, L"Virtual machine (build) is stuck"},
      {"disconnected", L"secret", L"lost", L"on", false,
       L"Virtual machine (lost) is in a stuck state while it should be on"},
      {"unknown", L"secret", L"nope", L"on", false,
       L"Can't get the state of this (nope) virtual machine, it's not listed as a known one"},
      {"wrong password", L"wrong", L"web01", L"on", false, L"ERR: Login failure(at  130)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    FakeVSphere server = inventory();
    const CheckRun run = check(server, parameters(c.password, c.vm, c.state));
    EXPECT_EQ(run.answer, c.answer);
    EXPECT_EQ(run.result, c.result);
    expectReleased(server);
  }
}

TEST(VSphereAdapter, EmptyInventoryIsReportedAndReleased) {
  FakeVSphere server;
  const CheckRun run = check(server, parameters(L"secret", L"", L""));
  EXPECT_FALSE(run.answer);
  EXPECT_EQ(run.result, L"No registered virtual machines on this server");
  expectReleased(server);
}

TEST(VSphereAdapter, OperationsOfOneCheckInOrderWithTheSessionCookie) {
  FakeVSphere server = inventory();
  check(server, parameters(L"secret", L"mail", L"suspended"));
  // The listing's view goes as soon as the listing is read.
  const std::vector<std::wstring> expected = {L"RetrieveServiceContent",
                                              L"Login",
                                              L"CreateContainerView",
                                              L"RetrievePropertiesEx",
                                              L"DestroyView",
                                              L"RetrievePropertiesEx",
                                              L"Logout"};
  EXPECT_EQ(server.operations, expected);
  EXPECT_TRUE(server.cookiesSent[0].empty());
  EXPECT_TRUE(server.cookiesSent[1].empty());
  for (std::size_t i = 2; i < server.cookiesSent.size(); ++i)
    EXPECT_EQ(server.cookiesSent[i], "vmware_soap_session=\"session1\"") << i;
  // Only the login's envelope holds a secret.
  for (std::size_t i = 0; i < server.contents.size(); ++i)
    EXPECT_EQ(server.contents[i] == Transport::Content::Secret, server.operations[i] == L"Login")
        << toUtf8(server.operations[i]);
}

TEST(VSphereAdapter, FirstMachineOfADuplicatedNameCounts) {
  FakeVSphere server = inventory();
  EXPECT_TRUE(check(server, parameters(L"secret", L"web01", L"on")).answer);
}

TEST(VSphereAdapter, PagesAreReadUntilTheLastInTheServersOrder) {
  FakeVSphere server;
  for (int i = 0; i < 7; ++i)
    server.machines.push_back({L"vm" + std::to_wstring(i)});
  server.pageSize = 3;
  VSphereAutomation automation(serverChoiceOf(L"#VSTP=VSPHERE#", L""),
                               {server.transportFactory(), makeLibXml2Reader});
  {
    auto params = automation.createConnectParams();
    params->setHostname(L"vc01");
    params->setUsername(L"alice");
    params->setPassword(L"secret");
    auto srv = automation.createServer();
    srv->connect(*params);
    auto list = srv->registeredVmNames();
    ASSERT_EQ(list->count(), 7);
    for (int i = 1; i <= 7; ++i)
      EXPECT_EQ(list->item(i), L"vm" + std::to_wstring(i - 1));
    EXPECT_THROW(list->item(8), AutomationError);
    srv.reset();
    EXPECT_EQ(server.liveSessions.size(), 1u) << "the list still holds the session";
  }
  EXPECT_EQ(std::count(server.operations.begin(), server.operations.end(),
                       L"ContinueRetrievePropertiesEx"),
            2);
  expectReleased(server);
}

struct FailureCase {
  const char *name;
  const wchar_t *operation;
  FakeFailure failure;
  const wchar_t *vm;
  const wchar_t *result;
  bool releases; // DestroyView/Logout follow the failure
};

TEST(VSphereAdapter, FailuresEndAtTheirStatementAndStillRelease) {
  using enum TransportFailure;
  const FailureCase cases[] = {
      {"unresolvable", L"RetrieveServiceContent", FakeFailure::lost(Resolve), L"",
       L"ERR: Could not resolve the server name vc01(at  130)", false},
      {"no listener", L"RetrieveServiceContent", FakeFailure::lost(Connect), L"",
       L"ERR: Could not connect to vc01 on port 443(at  130)", false},
      {"html", L"RetrieveServiceContent", FakeFailure::page("<html>hi</html>"), L"",
       L"ERR: The server's answer is not a vSphere Web Services answer (an HTML page)(at  130)",
       false},
      // The server may have taken the login whose answer did not come: logged out all the same.
      {"login silent", L"Login", FakeFailure::lost(TimedOut), L"",
       L"ERR: The server vc01 did not answer within 7 second(s)(at  130)", true},
      {"login refused", L"Login", FakeFailure::fault(L"Login failure"), L"",
       L"ERR: Login failure(at  130)", false},
      {"login lost", L"Login", FakeFailure::lost(Other), L"",
       L"ERR: The exchange with https://vc01/sdk failed (error 12002)(at  130)", true},
      {"view refused", L"CreateContainerView",
       FakeFailure::fault(L"Permission to perform this operation was denied."), L"",
       L"ERR: Permission to perform this operation was denied.(at  140)", true},
      {"listing fault", L"RetrievePropertiesEx", FakeFailure::fault(L"Busy"), L"",
       L"ERR: Busy(at  140)", true},
      {"next page fault", L"ContinueRetrievePropertiesEx", FakeFailure::fault(L"Invalid token"),
       L"", L"ERR: Invalid token(at  140)", true},
      {"destroy fails", L"DestroyView", FakeFailure::fault(L"Gone"), L"",
       L"6 registered virtual machine(s) on this server", true},
      // The time ran out in the listing: reported there, not at the next statement.
      {"destroy silent", L"DestroyView", FakeFailure::lost(TimedOut), L"",
       L"ERR: The server vc01 did not answer within 7 second(s)(at  140)", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    FakeVSphere server = inventory();
    server.pageSize = 4;
    server.failures[c.operation] = c.failure;
    const CheckRun run = check(server, parameters(L"secret", c.vm, L"on"), L"7");
    EXPECT_EQ(run.result, c.result);
    EXPECT_TRUE(server.liveSessions.empty());
    const bool loggedOut = server.operations.back() == L"Logout";
    EXPECT_EQ(loggedOut, c.releases);
  }
}

TEST(VSphereAdapter, StateReadFailureAt400StillLogsOut) {
  FakeVSphere server = inventory();
  server.machines[2].powerState = L"melted";
  const CheckRun run = check(server, parameters(L"secret", L"mail", L"on"));
  EXPECT_EQ(run.result, L"ERR: The server reported an unknown power state (melted)(at  400)");
  expectReleased(server);
}

// Every exchange of the check shares its one deadline; the release that follows a timeout gets
// a budget of its own and still ends the session.
TEST(VSphereAdapter, TimedOutCheckStillEndsItsSessionWithinTheReleaseBudget) {
  // The whole budget goes to the Logout: a view left by the failed listing ends with the session.
  const std::pair<const wchar_t *, std::vector<std::wstring>> cases[] = {
      {L"CreateContainerView",
       {L"RetrieveServiceContent", L"Login", L"CreateContainerView", L"Logout"}},
      {L"RetrievePropertiesEx",
       {L"RetrieveServiceContent", L"Login", L"CreateContainerView", L"RetrievePropertiesEx",
        L"Logout"}},
  };
  for (const auto &[silent, expected] : cases) {
    SCOPED_TRACE(toUtf8(silent));
    FakeVSphere server = inventory();
    server.failures[silent] = FakeFailure::lost(TransportFailure::TimedOut);
    const auto before = Transport::Clock::now();
    const CheckRun run = check(server, parameters(L"secret", L"", L""), L"abc");
    const auto after = Transport::Clock::now();
    EXPECT_EQ(run.result, L"ERR: The server vc01 did not answer within 60 second(s)(at  140)");
    ASSERT_EQ(server.operations, expected);
    expectReleased(server);
    const auto checkDeadline = server.deadlines[0];
    EXPECT_GE(checkDeadline - before, std::chrono::seconds(60));
    EXPECT_LE(checkDeadline - after, std::chrono::seconds(60));
    for (std::size_t i = 1; i + 1 < server.deadlines.size(); ++i)
      EXPECT_EQ(server.deadlines[i], checkDeadline) << i;
    const auto releaseDeadline = server.deadlines.back();
    EXPECT_GE(releaseDeadline - before, std::chrono::seconds(3));
    EXPECT_LE(releaseDeadline - after, std::chrono::seconds(3));
  }
}

TEST(VSphereAdapter, ReleaseBudgetIsThreeSecondsAtMostTheCheck) {
  using std::chrono::seconds;
  const std::pair<int, SessionTiming> cases[] = {
      {1, {seconds(1), seconds(1)}},
      {2, {seconds(2), seconds(2)}},
      {3, {seconds(3), seconds(3)}},
      {7, {seconds(7), seconds(3)}},
      {2147483, {seconds(2147483), seconds(3)}},
  };
  for (const auto &[timeout, timing] : cases) {
    EXPECT_EQ(sessionTimingFor(timeout).limit, timing.limit) << timeout;
    EXPECT_EQ(sessionTimingFor(timeout).releaseBudget, timing.releaseBudget) << timeout;
  }
}

TEST(VSphereAdapter, ListingBeyondWhatACheckKeepsIsRefusedAndReleased) {
  FakeVSphere server;
  const std::size_t nameLength = 60'000;
  for (std::size_t i = 0; i <= kMaxKeptCharacters / nameLength; ++i)
    server.machines.push_back(
        {std::wstring(nameLength - 8, L'n') + std::to_wstring(10'000'000 + i)});
  server.pageSize = 40;
  const CheckRun run = check(server, parameters(L"secret", L"", L""));
  EXPECT_TRUE(run.result.starts_with(L"ERR: The server lists more virtual machines than a check "
                                     L"reads"))
      << toUtf8(run.result.substr(0, 80));
  EXPECT_TRUE(run.result.ends_with(L"(at  140)"));
  expectReleased(server);
}

// A server that pages without end: the listing stops at the first sign of it and still
// releases what it holds.
TEST(VSphereAdapter, PagingThatGoesRoundEndsTheListing) {
  const auto withToken = [](const std::string &objects, const std::string &token) {
    return "<returnval>" + objects + "<token>" + token + "</token></returnval>";
  };
  struct PagingCase {
    const char *name;
    std::function<void(const std::wstring &, int, HttpAnswer &)> rewrite;
    const wchar_t *description;
  };
  const std::string vm = "<objects><obj type=\"VirtualMachine\">vm-0</obj></objects>";
  const auto answerOf = [](const std::string &operation, const std::string &content) {
    return "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\">"
           "<soapenv:Body><" +
           operation + "Response xmlns=\"urn:vim25\">" + content + "</" + operation +
           "Response></soapenv:Body></soapenv:Envelope>";
  };
  const PagingCase cases[] = {
      {"the same token again",
       [&](const std::wstring &op, int, HttpAnswer &a) {
         if (op == L"RetrievePropertiesEx" || op == L"ContinueRetrievePropertiesEx")
           a = {200, "text/xml", answerOf(toUtf8(op), withToken(vm, "again")), {}};
       },
       L"The server's listing repeats the token of an earlier page"},
      {"an earlier token",
       [&](const std::wstring &op, int nth, HttpAnswer &a) {
         if (op == L"RetrievePropertiesEx" || op == L"ContinueRetrievePropertiesEx")
           a = {200, "text/xml", answerOf(toUtf8(op), withToken(vm, nth % 2 ? "a" : "b")), {}};
       },
       L"The server's listing repeats the token of an earlier page"},
      {"empty pages",
       [&](const std::wstring &op, int nth, HttpAnswer &a) {
         if (op == L"RetrievePropertiesEx" || op == L"ContinueRetrievePropertiesEx")
           a = {
               200, "text/xml", answerOf(toUtf8(op), withToken("", "t" + std::to_string(nth))), {}};
       },
       L"The server's listing sent a page without objects that is not the last"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    FakeVSphere server = inventory();
    server.rewrite = c.rewrite;
    const CheckRun run = check(server, parameters(L"secret", L"", L""));
    EXPECT_EQ(run.result, L"ERR: " + std::wstring(c.description) + L"(at  140)");
    EXPECT_LE(server.operations.size(), 8u);
    expectReleased(server);
  }
}

// vSphere writes "/", "\" and "%" in names escaped: the check matches the name as typed.
TEST(VSphereAdapter, EscapedNamesMatchAsTyped) {
  FakeVSphere server = inventory();
  server.machines.push_back({L"web%2f01 100%25 a%5Cb", L"poweredOff"});
  const CheckRun run = check(server, parameters(L"secret", L"web/01 100% a\\b", L"off"));
  EXPECT_TRUE(run.answer);
  EXPECT_EQ(run.result, L"Virtual machine (web/01 100% a\\b) is off");
}

// Nothing goes out with a user name or password XML cannot carry, and nothing is changed.
TEST(VSphereAdapter, UnsendableAccountIsRefusedBeforeAnythingIsSent) {
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"alice\x01", L"ERR: The user name holds a character that cannot be sent"},
      {L"alice", L"ERR: The password holds a character that cannot be sent"},
  };
  for (const auto &[user, start] : cases) {
    FakeVSphere server = inventory();
    Host host;
    host.parameter = L"#VSTP=VSPHERE#USR=" + user + L"#PWD=" +
                     base64Encode(user == L"alice" ? L"se\x02"
                                                     L"cret"
                                                   : L"secret",
                                  windows1252()) +
                     L"#VMN=#VMS=#THUMB=#";
    VSphereAutomation automation(serverChoiceOf(host.parameter, L""),
                                 {server.transportFactory(), makeLibXml2Reader});
    EXPECT_FALSE(runCheck(host, automation, windows1252()));
    ASSERT_FALSE(host.results.empty());
    EXPECT_TRUE(host.results.back().starts_with(start)) << toUtf8(host.results.back());
    EXPECT_TRUE(host.results.back().ends_with(L"(at  130)")) << toUtf8(host.results.back());
    EXPECT_TRUE(server.operations.empty());
  }
}

TEST(VSphereAdapter, LogoutFailureIsIgnored) {
  FakeVSphere server = inventory();
  server.failures[L"Logout"] = FakeFailure::fault(L"Busy");
  const CheckRun run = check(server, parameters(L"secret", L"web01", L"on"));
  EXPECT_TRUE(run.answer);
  EXPECT_EQ(server.operations.back(), L"Logout");
}

TEST(VSphereAdapter, ThumbprintTimeoutAndAddressReachTheTransport) {
  FakeVSphere server = inventory();
  check(server,
        parameters(L"secret", L"", L"",
                   L" 44:8f:62:8A:8A:65:AA:18:56:0E:53:A8:0C:53:AC:B3:"
                   L"8C:51:B4:27:DF:03:34:08:23:49:14:11:47:DC:9B:F6"),
        L" 15 ", L"https://vc01:9443/vsphere/sdk");
  ASSERT_TRUE(server.options && server.endpoint);
  EXPECT_EQ(server.options->thumbprint,
            L"448F628A8A65AA18560E53A80C53ACB38C51B427DF0334082349141147DC9BF6");
  EXPECT_EQ(server.options->timeoutSeconds, 15);
  EXPECT_EQ(server.endpoint->url(), L"https://vc01:9443/vsphere/sdk");
}

TEST(VSphereAdapter, BadThumbOrAddressFailsAt130BeforeAnyExchange) {
  const std::pair<std::wstring, std::wstring> cases[] = {
      {parameters(L"secret", L"", L"", L"12:34"), L"vc01"},
      {parameters(L"secret", L"", L""), L"vc01:99999"},
  };
  for (const auto &[parameter, hostname] : cases) {
    FakeVSphere server = inventory();
    const CheckRun run = check(server, parameter, L"", hostname);
    EXPECT_TRUE(run.result.starts_with(L"ERR: ")) << toUtf8(run.result);
    EXPECT_TRUE(run.result.ends_with(L"(at  130)")) << toUtf8(run.result);
    EXPECT_TRUE(server.operations.empty());
  }
}

TEST(VSphereAdapter, MachineWithoutConnectedServerIsRefused) {
  FakeVSphere server = inventory();
  VSphereAutomation automation(serverChoiceOf(L"#VSTP=VSPHERE#", L""),
                               {server.transportFactory(), makeLibXml2Reader});
  auto params = automation.createConnectParams();
  auto machine = automation.createMachine();
  EXPECT_THROW(machine->connect(*params, L"web01"), AutomationError);
  EXPECT_THROW(machine->executionState(), AutomationError);
  EXPECT_TRUE(server.operations.empty());
}

} // namespace
