// The check against servers that misbehave on purpose (tools/vsphere-sim/hostile.go, started by
// scripts/test, which passes their URLs in SIM_URL_<NAME>):
//   TRICKLEHEADERS  every answer's status line and headers a byte a second
//   TRICKLEBODY     every answer's body a byte a second
//   SLOW            every answer 0.7 s late: a check of one machine needs five of them
//   SWITCHCERT      the simulators' certificate until a Login is answered, then that connection
//                   closed and another certificate shown; it counts what reached it there
//   REVOCATION      three servers with certificates of one CA, which the suite's run trusts
//                   where it can (BRENNOW_TRUSTED_ROOTS=1): one the CA revoked, one it did not,
//                   one whose revocation list cannot be fetched
//   REPEATTOKEN     6 machines 2 a page, every later page answered with the first, token and all
//   LONGTYPE        the first object of every listing with a type attribute of 4 million characters
// The time limit bounds the whole check whatever the server's pace, nothing of a request goes
// out on a connection before its certificate is accepted, a revoked one is refused, and what a
// server's answers make the check keep is bounded.
#include <chrono>
#include <map>
#include <sstream>
#include <string>

#include "tests/wine/vsphere/VSphereFixture.h"

using namespace vspheretest;
using wintest::errorReport;
using wintest::expectFailureAt;
using wintest::expectOutcome;
using wintest::toUtf8;

namespace {

using Clock = std::chrono::steady_clock;

// How far past its limit a check may end: Wine's process and TLS start-up, a busy machine.
constexpr auto kMargin = std::chrono::seconds(4);

// Statement 130 connects and logs in, 140 reads the machine's state.
std::wstring timedOut(int seconds, int statement) {
  return errorReport(L"The server 127.0.0.1 did not answer within " + std::to_wstring(seconds) +
                         L" second(s)",
                     statement);
}

// The "name=value" words a hostile server reports at /brennow/hostile.
std::map<std::string, std::string> hostileReport(const std::wstring &url) {
  std::map<std::string, std::string> report;
  const auto answer = SimulatorClient(url).request(L"GET", L"/brennow/hostile");
  if (!answer || answer->first != 200)
    return report;
  std::istringstream words(answer->second);
  for (std::string word; words >> word;)
    if (const auto equals = word.find('='); equals != std::string::npos)
      report[word.substr(0, equals)] = word.substr(equals + 1);
  return report;
}

// The report once what reached the server has stopped changing: a request refused on the
// caller's side may still be on its way when the check returns (Wine's worker writes it).
std::map<std::string, std::string> settledReport(const std::wstring &url) {
  auto report = hostileReport(url);
  for (int polls = 0; polls < 15; ++polls) {
    Sleep(200);
    auto again = hostileReport(url);
    if (polls >= 2 && again == report)
      break;
    report = std::move(again);
  }
  return report;
}

// ---------------------------------------------------------------- the time limit

struct PaceCase {
  const char *name;
  const wchar_t *simulator;
};

// Before, WinHTTP's limits applied to each read, and a byte a second held a 3 s check for
// minutes.
const PaceCase trickleCases[] = {
    {"TrickledHeaders", L"TRICKLEHEADERS"},
    {"TrickledBody", L"TRICKLEBODY"},
};

class VSphereTrickleTest : public VSphereTest, public testing::WithParamInterface<PaceCase> {};

TEST_P(VSphereTrickleTest, EndsWithinTheTimeLimit) {
  const std::wstring simulator = url(GetParam().simulator);
  const auto start = Clock::now();
  expectOutcome(check(simulator, vsphereParameters(L"DC0_H0_VM0", L"on"), L"2"), false,
                timedOut(2, 130));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2) + kMargin);
}

INSTANTIATE_TEST_SUITE_P(Servers, VSphereTrickleTest, testing::ValuesIn(trickleCases),
                         [](const auto &info) { return std::string(info.param.name); });

// The limit runs out in the middle of the check, after the login: the release still ends the
// session (the fixture asks the simulator afterwards), within a budget of its own.
TEST_F(VSphereTest, SlowServerTimesOutAndTheSessionIsStillEnded) {
  const std::wstring simulator = url(L"SLOW");
  const auto start = Clock::now();
  expectOutcome(check(simulator, vsphereParameters(L"DC0_H0_VM0", L"on"), L"3"), false,
                timedOut(3, 140));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3 + 3) + kMargin);
}

// ---------------------------------------------------------------- answers that would go on

// A server whose paging never ends, or whose answer asks the check to keep 4 million characters of
// one attribute: the listing ends with the refusal, and the session is still ended.
struct BoundCase {
  const char *name;
  const wchar_t *simulator;
  const wchar_t *description;
};

const BoundCase boundCases[] = {
    {"RepeatedToken", L"REPEATTOKEN", L"The server's listing repeats the token of an earlier page"},
    {"LongTypeAttribute", L"LONGTYPE",
     L"The server's answer is not a vSphere Web Services answer (a type attribute longer than "
     L"1024 characters)"},
};

class VSphereBoundTest : public VSphereTest, public testing::WithParamInterface<BoundCase> {};

TEST_P(VSphereBoundTest, EndsTheListingAndTheSession) {
  const BoundCase &c = GetParam();
  expectOutcome(check(url(c.simulator), vsphereParameters(L"", L"")), false,
                errorReport(c.description, 140));
}

INSTANTIATE_TEST_SUITE_P(Servers, VSphereBoundTest, testing::ValuesIn(boundCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- the library's life

enum LibraryLife {
  kHeldRightly = 0,
  kHeldAfterAFinishedCheck,
  kFreedWhileHeld,
  kUnloadedWhileHeld
};

HRESULT libraryCanUnloadNow() {
  const HMODULE dll = GetModuleHandleW(L"brennow.dll");
  const auto canUnloadNow =
      dll ? reinterpret_cast<HRESULT(WINAPI *)()>(
                reinterpret_cast<void (*)()>(GetProcAddress(dll, "DllCanUnloadNow")))
          : nullptr;
  return canUnloadNow ? canUnloadNow() : E_FAIL;
}

// WinHTTP may call back for a request the check gave up after the check has returned: the
// library's code stays loaded until it has, and may go once nothing holds it. In a process of
// its own, so that no other test's requests are still in WinHTTP's hands.
TEST_F(VSphereTest, LibraryStaysLoadedWhileWinHttpStillHoldsAGivenUpRequest) {
  asksSessions_ = false;
  const std::wstring finished = url(L"VC");
  const std::wstring trickling = url(L"TRICKLEHEADERS");
  EXPECT_EXIT(
      {
        check(finished, vsphereParameters(L"DC0_H0_VM0", L"on"));
        plugin_.Reset();
        HRESULT answer = libraryCanUnloadNow();
        for (int polls = 0; answer != S_OK && polls < 30; ++polls) {
          Sleep(100);
          answer = libraryCanUnloadNow();
        }
        if (answer != S_OK)
          exit(kHeldAfterAFinishedCheck);
        plugin_ = wintest::createPlugin();
        check(trickling, vsphereParameters(L"DC0_H0_VM0", L"on"), L"1");
        plugin_.Reset();
        if (libraryCanUnloadNow() != S_FALSE)
          exit(kFreedWhileHeld);
        CoFreeUnusedLibrariesEx(0, 0);
        exit(GetModuleHandleW(L"brennow.dll") ? kHeldRightly : kUnloadedWhileHeld);
      },
      testing::ExitedWithCode(kHeldRightly), "")
      << "exit code " << kHeldAfterAFinishedCheck << ": held after a finished check, "
      << kFreedWhileHeld << ": free to go while WinHTTP holds a request, " << kUnloadedWhileHeld
      << ": unloaded while WinHTTP holds a request";
}

// ---------------------------------------------------------------- certificates

// The server showed the pinned certificate until the login, then closed the connection and
// showed another one: nothing that carries the session cookie reaches it there.
TEST_F(VSphereTest, CertificateSwitchedAfterTheLoginGetsNoSessionCookie) {
  // The session stays: its logout is refused with the certificate.
  asksSessions_ = false;
  const std::wstring simulator = url(L"SWITCHCERT");
  const auto reset = SimulatorClient(simulator).request(L"POST", L"/brennow/hostile/reset");
  ASSERT_TRUE(reset && reset->first == 200) << "the switch cannot be reset";
  const wintest::CheckOutcome outcome = check(simulator, vsphereParameters(L"DC0_H0_VM0", L"on"));
  expectFailureAt(outcome, 140);
  EXPECT_NE(outcome.result.find(L"no longer matches the pinned thumbprint"), std::wstring::npos)
      << toUtf8(outcome.result);
  const auto report = settledReport(simulator);
  EXPECT_EQ(report.count("logins") ? report.at("logins") : "", "1") << "the switch did not happen";
  EXPECT_EQ(report.count("cookies") ? report.at("cookies") : "", "0");
}

// The CA's servers by the name their certificates carry (Wine's policy matches no IP address
// entries), with certificates no earlier check has seen: Wine keeps what it learnt of a
// certificate's revocation in the prefix, for later processes too.
std::map<std::string, std::wstring> renewedRevocationServers(const std::wstring &url) {
  std::map<std::string, std::wstring> servers;
  const auto renewed = SimulatorClient(url).request(L"POST", L"/brennow/hostile/renew");
  if (!renewed || renewed->first != 200)
    return servers;
  for (const auto &[name, address] : hostileReport(url)) {
    std::wstring named = wintest::fromUtf8(address);
    if (const auto at = named.find(L"127.0.0.1"); at != std::wstring::npos)
      named.replace(at, 9, L"localhost");
    servers[name] = named;
  }
  return servers;
}

struct RevocationCase {
  const char *name;
  const char *server;
  bool accepted;
};

const RevocationCase revocationCases[] = {
    {"RevokedIsRefused", "revoked", false},
    {"NotRevokedIsAccepted", "unrevoked", true},
    // Soft-fail: monitoring hosts often cannot reach a CA.
    {"UnknownRevocationIsAccepted", "offline", true},
};

class VSphereRevocationTest : public VSphereTest,
                              public testing::WithParamInterface<RevocationCase> {};

TEST_P(VSphereRevocationTest, CheckedWithoutAThumbprint) {
  if (GetEnvironmentVariableW(L"BRENNOW_TRUSTED_ROOTS", nullptr, 0) == 0)
    GTEST_SKIP() << "the revocation servers' CA is not among the trusted roots in this run";
  const RevocationCase &c = GetParam();
  const auto servers = renewedRevocationServers(url(L"REVOCATION"));
  ASSERT_EQ(servers.count(c.server), 1u) << "REVOCATION does not name its servers";
  const std::wstring server = servers.at(c.server);
  const wintest::CheckOutcome outcome =
      check(server, vsphereParameters(L"", L"", L""), L"20", server);
  if (c.accepted) {
    expectOutcome(outcome, true, L"2 registered virtual machine(s) on this server");
    return;
  }
  expectFailureAt(outcome, 130);
  EXPECT_NE(outcome.result.find(L"The server's certificate is not trusted"), std::wstring::npos)
      << toUtf8(outcome.result);
}

INSTANTIATE_TEST_SUITE_P(Servers, VSphereRevocationTest, testing::ValuesIn(revocationCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Wine answers "not revoked" for a certificate once it has answered "revoked": the component
// remembers.
TEST_F(VSphereTest, RevokedCertificateIsRefusedOnEveryCheck) {
  if (GetEnvironmentVariableW(L"BRENNOW_TRUSTED_ROOTS", nullptr, 0) == 0)
    GTEST_SKIP() << "the revocation servers' CA is not among the trusted roots in this run";
  const auto servers = renewedRevocationServers(url(L"REVOCATION"));
  ASSERT_EQ(servers.count("revoked"), 1u) << "REVOCATION does not name its servers";
  const std::wstring server = servers.at("revoked");
  for (int round = 0; round < 2; ++round) {
    const wintest::CheckOutcome outcome =
        check(server, vsphereParameters(L"", L"", L""), L"20", server);
    expectFailureAt(outcome, 130);
    EXPECT_NE(outcome.result.find(L"The server's certificate is not trusted"), std::wstring::npos)
        << "round " << round << ": " << toUtf8(outcome.result);
  }
}

// A pinned thumbprint is the operator's explicit trust: it is not asked about revocation.
TEST_F(VSphereTest, PinnedRevokedCertificateIsAccepted) {
  if (GetEnvironmentVariableW(L"BRENNOW_TRUSTED_ROOTS", nullptr, 0) == 0)
    GTEST_SKIP() << "the revocation servers' CA is not among the trusted roots in this run";
  const auto servers = renewedRevocationServers(url(L"REVOCATION"));
  ASSERT_EQ(servers.count("revoked"), 1u) << "REVOCATION does not name its servers";
  const std::wstring server = servers.at("revoked");
  const std::wstring refused =
      check(server, vsphereParameters(L"", L"", L""), L"20", server).result;
  const auto at = refused.find(L"thumbprint ");
  ASSERT_NE(at, std::wstring::npos) << toUtf8(refused);
  const std::wstring thumbprint = refused.substr(at + 11, 64);
  expectOutcome(check(server, vsphereParameters(L"", L"", thumbprint), L"20", server), true,
                L"2 registered virtual machine(s) on this server");
}

} // namespace
