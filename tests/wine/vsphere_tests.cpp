// The check through the vSphere Web Services adapter, end to end: brennow.vmwarecom created by
// ProgID and driven through IDispatch as a host drives it, against simulated vCenter and ESX
// servers on loopback (started by the test script, which passes their URLs in SIM_URL_<NAME>).
// After every check the simulator's session count shows that the check logged out.
#include <windows.h>

#include <winhttp.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/win/automation.h"
#include "params/AnsiCodePage.h"
#include "params/base64.h"
#include "tests/wine/wintest.h"
#include "vmserver/UntrustedCertificate.h"

using Microsoft::WRL::ComPtr;
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
//           under another prefix), the others as vCenter writes them (xsi:type)
//   PAGED   vCenter, 25 machines answered 4 a page; VM24 powered off
//   NEWCERT vCenter with a freshly made certificate for localhost and 127.0.0.1, which the
//           suite's run trusts as a root where it can (BRENNOW_TRUSTED_ROOTS=1)
//   SILENT  accepts connections and never answers
//   HTML    plain http, answers every request with an HTML page
//   HTTP500 plain http, answers every request with HTTP 500 and an HTML page
constexpr wchar_t kUser[] = L"monitor";
constexpr wchar_t kPassword[] = L"s3cret!";
// The simulators' certificate: Go's fixed test certificate, which Wine's chain does not trust.
constexpr wchar_t kSimThumbprint[] =
    L"448F628A8A65AA18560E53A80C53ACB38C51B427DF0334082349141147DC9BF6";
constexpr wchar_t kSimThumbprintAsShown[] = L"44:8f:62:8a:8a:65:aa:18:56:0e:53:a8:0c:53:ac:b3:8c:"
                                            L"51:b4:27:df:03:34:08:23:49:14:11:47:dc:9b:f6";
constexpr wchar_t kOtherThumbprint[] =
    L"00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF";

std::wstring simUrl(std::wstring_view name) {
  const std::wstring variable = L"SIM_URL_" + std::wstring(name);
  wchar_t buffer[512] = {};
  const DWORD length = GetEnvironmentVariableW(variable.c_str(), buffer, 512);
  return length > 0 && length < 512 ? std::wstring(buffer, length) : std::wstring();
}

// "127.0.0.1:PORT" of a simulator URL.
std::wstring hostAndPort(const std::wstring &url) {
  const auto start = url.find(L"://") + 3;
  return url.substr(start, url.find(L'/', start) - start);
}

// A WinHTTP handle, closed with its owner.
class HttpHandle {
public:
  explicit HttpHandle(HINTERNET handle = nullptr) noexcept : handle_(handle) {}
  HttpHandle(const HttpHandle &) = delete;
  HttpHandle &operator=(const HttpHandle &) = delete;
  ~HttpHandle() {
    if (handle_)
      WinHttpCloseHandle(handle_);
  }
  HINTERNET get() const noexcept { return handle_; }

private:
  HINTERNET handle_;
};

constexpr DWORD kIgnoreCertificateErrors =
    SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
    SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;

// Test plumbing that talks to a simulator directly, taking its certificate as it is. WinHTTP
// keeps the session cookie between the requests of one client.
class SimulatorClient {
public:
  explicit SimulatorClient(const std::wstring &url) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    wchar_t host[256] = {};
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts))
      return;
    tls_ = parts.nScheme == INTERNET_SCHEME_HTTPS;
    session_ = std::make_unique<HttpHandle>(
        WinHttpOpen(L"vsphere_tests", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                    WINHTTP_NO_PROXY_BYPASS, 0));
    if (session_->get())
      connection_ =
          std::make_unique<HttpHandle>(WinHttpConnect(session_->get(), host, parts.nPort, 0));
  }

  // The status and body of one request; nothing when it failed.
  std::optional<std::pair<DWORD, std::string>> request(const wchar_t *verb, const wchar_t *path,
                                                       std::string body = {}) {
    if (!connection_ || !connection_->get())
      return std::nullopt;
    HttpHandle request(WinHttpOpenRequest(connection_->get(), verb, path, nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          tls_ ? WINHTTP_FLAG_SECURE : 0));
    if (!request.get())
      return std::nullopt;
    DWORD ignore = kIgnoreCertificateErrors;
    if (tls_)
      WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &ignore, sizeof(ignore));
    const wchar_t *headers = body.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS
                                          : L"Content-Type: text/xml; charset=utf-8\r\n"
                                            L"SOAPAction: \"urn:vim25/6.5\"";
    const auto length = static_cast<DWORD>(body.size());
    if (!WinHttpSendRequest(request.get(), headers, body.empty() ? 0 : static_cast<DWORD>(-1L),
                            body.empty() ? WINHTTP_NO_REQUEST_DATA : body.data(), length, length,
                            0) ||
        !WinHttpReceiveResponse(request.get(), nullptr))
      return std::nullopt;
    DWORD status = 0, size = sizeof(status);
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    std::string answer;
    char chunk[4096];
    DWORD read = 0;
    while (WinHttpReadData(request.get(), chunk, sizeof(chunk), &read) && read > 0)
      answer.append(chunk, read);
    return std::make_pair(status, answer);
  }

  // A SOAP call of `method` on the ESX SessionManager; the HTTP status.
  DWORD sessionManagerCall(const std::string &method, const std::string &arguments = {}) {
    const auto answer = request(
        L"POST", L"/sdk",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><soapenv:Envelope xmlns:soapenv="
        "\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body><" +
            method + " xmlns=\"urn:vim25\"><_this type=\"SessionManager\">ha-sessionmgr</_this>" +
            arguments + "</" + method + "></soapenv:Body></soapenv:Envelope>");
    return answer ? answer->first : 0;
  }

private:
  bool tls_ = false;
  std::unique_ptr<HttpHandle> session_;
  std::unique_ptr<HttpHandle> connection_;
};

// The simulator's live sessions (GET /brennow/sessions); nothing when it cannot be asked.
std::optional<int> liveSessions(const std::wstring &url) {
  const auto answer = SimulatorClient(url).request(L"GET", L"/brennow/sessions");
  if (!answer || answer->first != 200 || answer->second.empty())
    return std::nullopt;
  return atoi(answer->second.c_str());
}

// ---------------------------------------------------------------- parameter strings

struct Account {
  const wchar_t *user = kUser;
  const wchar_t *password = kPassword;
};

// The string the settings dialog writes for the vSphere adapter.
std::wstring vsphereParameters(const std::wstring &vm, const std::wstring &state,
                               const std::wstring &thumbprint = kSimThumbprint,
                               Account account = {}, const std::wstring &serverType = L"VSPHERE") {
  return L"#VSTP=" + serverType + L"#USR=" + account.user + L"#PWD=" +
         brennow::base64Encode(account.password, brennow::systemAnsiCodePage()) + L"#VMN=" + vm +
         L"#VMS=" + state + L"#THUMB=" + thumbprint + L"#";
}

std::wstring untrusted(bool pinnedMismatch) {
  return brennow::vmserver::UntrustedCertificate(kSimThumbprint, pinnedMismatch).description();
}

// ---------------------------------------------------------------- one check as a host runs it

class VSphereTest : public testing::Test {
protected:
  void SetUp() override {
    plugin_ = wintest::createPlugin();
    ASSERT_TRUE(plugin_) << "brennow.vmwarecom cannot be created: is brennow.dll registered?";
  }

  // No check leaves a session behind on the simulator it talked to.
  void TearDown() override {
    plugin_.Reset();
    if (asksSessions_ && checkedUrl_.starts_with(L"http")) {
      EXPECT_EQ(liveSessions(checkedUrl_), std::optional<int>(0)) << toUtf8(checkedUrl_);
    }
  }

  void putText(const wchar_t *property, std::wstring_view text) {
    brennow::win::Variant value = brennow::win::Variant::fromText(text);
    EXPECT_EQ(wintest::putProperty(plugin_.Get(), property, *value.get()), S_OK) << property;
  }

  // A check of `hostname`, which is the simulator at `simulatorUrl` when that is given.
  wintest::CheckOutcome check(const std::wstring &hostname, const std::wstring &parameters,
                              const wchar_t *timeout = L"20",
                              const std::wstring &simulatorUrl = L"") {
    checkedUrl_ = simulatorUrl.empty() ? hostname : simulatorUrl;
    putText(L"qm_hostname", hostname);
    putText(L"qm_timeout", timeout);
    putText(L"qm_parameter", parameters);
    return wintest::runCheck(plugin_.Get());
  }

  // The simulator `name`'s URL; skips nothing: a missing simulator is a failure.
  std::wstring url(std::wstring_view name) {
    const std::wstring found = simUrl(name);
    EXPECT_FALSE(found.empty()) << "SIM_URL_" << toUtf8(name)
                                << " is not set: run through scripts/test";
    return found;
  }

  ComPtr<IDispatch> plugin_;
  std::wstring checkedUrl_;
  bool asksSessions_ = true;
};

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
