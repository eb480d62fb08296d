#include "tests/wine/vsphere/VSphereFixture.h"

#include <cstdlib>

#include "common/win/automation.h"
#include "params/AnsiCodePage.h"
#include "params/base64.h"

namespace vspheretest {
namespace {

constexpr DWORD kIgnoreCertificateErrors =
    SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
    SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;

} // namespace

std::wstring simUrl(std::wstring_view name) {
  const std::wstring variable = L"SIM_URL_" + std::wstring(name);
  wchar_t buffer[512] = {};
  const DWORD length = GetEnvironmentVariableW(variable.c_str(), buffer, 512);
  return length > 0 && length < 512 ? std::wstring(buffer, length) : std::wstring();
}

std::wstring hostAndPort(const std::wstring &url) {
  const auto start = url.find(L"://") + 3;
  return url.substr(start, url.find(L'/', start) - start);
}

SimulatorClient::SimulatorClient(const std::wstring &url) {
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  wchar_t host[256] = {};
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts))
    return;
  tls_ = parts.nScheme == INTERNET_SCHEME_HTTPS;
  session_ =
      std::make_unique<HttpHandle>(WinHttpOpen(L"vsphere_tests", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (session_->get())
    connection_ =
        std::make_unique<HttpHandle>(WinHttpConnect(session_->get(), host, parts.nPort, 0));
}

std::optional<std::pair<DWORD, std::string>>
SimulatorClient::request(const wchar_t *verb, const wchar_t *path, std::string body) {
  if (!connection_ || !connection_->get())
    return std::nullopt;
  HttpHandle request(WinHttpOpenRequest(connection_->get(), verb, path, nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES,
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

DWORD SimulatorClient::sessionManagerCall(const std::string &method, const std::string &arguments) {
  const auto answer = request(
      L"POST", L"/sdk",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><soapenv:Envelope xmlns:soapenv="
      "\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body><" +
          method + " xmlns=\"urn:vim25\"><_this type=\"SessionManager\">ha-sessionmgr</_this>" +
          arguments + "</" + method + "></soapenv:Body></soapenv:Envelope>");
  return answer ? answer->first : 0;
}

namespace {

// A count the simulator shows at `path`.
std::optional<int> simulatorCount(const std::wstring &url, const wchar_t *path) {
  const auto answer = SimulatorClient(url).request(L"GET", path);
  if (!answer || answer->first != 200 || answer->second.empty())
    return std::nullopt;
  return atoi(answer->second.c_str());
}

} // namespace

std::optional<int> liveSessions(const std::wstring &url) {
  return simulatorCount(url, L"/brennow/sessions");
}

std::optional<int> requestsReceived(const std::wstring &url) {
  return simulatorCount(url, L"/brennow/requests");
}

std::wstring vsphereParameters(const std::wstring &vm, const std::wstring &state,
                               const std::wstring &thumbprint, Account account,
                               const std::wstring &serverType) {
  return L"#VSTP=" + serverType + L"#USR=" + account.user + L"#PWD=" +
         brennow::base64Encode(account.password, brennow::systemAnsiCodePage()) + L"#VMN=" + vm +
         L"#VMS=" + state + L"#THUMB=" + thumbprint + L"#";
}

void VSphereTest::SetUp() {
  plugin_ = wintest::createPlugin();
  ASSERT_TRUE(plugin_) << "brennow.vmwarecom cannot be created: is brennow.dll registered?";
}

void VSphereTest::TearDown() {
  plugin_.Reset();
  if (asksSessions_ && checkedUrl_.starts_with(L"http")) {
    EXPECT_EQ(liveSessions(checkedUrl_), std::optional<int>(0)) << wintest::toUtf8(checkedUrl_);
  }
}

void VSphereTest::putText(const wchar_t *property, std::wstring_view text) {
  brennow::win::Variant value = brennow::win::Variant::fromText(text);
  EXPECT_EQ(wintest::putProperty(plugin_.Get(), property, *value.get()), S_OK) << property;
}

wintest::CheckOutcome VSphereTest::check(const std::wstring &hostname,
                                         const std::wstring &parameters, const wchar_t *timeout,
                                         const std::wstring &simulatorUrl) {
  checkedUrl_ = simulatorUrl.empty() ? hostname : simulatorUrl;
  putText(L"qm_hostname", hostname);
  putText(L"qm_timeout", timeout);
  putText(L"qm_parameter", parameters);
  return wintest::runCheck(plugin_.Get());
}

std::wstring VSphereTest::url(std::wstring_view name) {
  const std::wstring found = simUrl(name);
  EXPECT_FALSE(found.empty()) << "SIM_URL_" << wintest::toUtf8(name)
                              << " is not set: run through scripts/test";
  return found;
}

} // namespace vspheretest
