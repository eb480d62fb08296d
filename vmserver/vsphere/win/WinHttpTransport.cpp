#include "vmserver/vsphere/win/WinHttpTransport.h"

#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <span>
#include <vector>

#include "vmserver/UntrustedCertificate.h"
#include "vmserver/vsphere/Envelopes.h"
#include "vmserver/vsphere/Errors.h"
#include "vmserver/vsphere/win/SystemLibrary.h"
#include "common/utf8.h"

namespace brennow::vmserver::vsphere {
namespace {

#define BRENNOW_SYSTEM_FUNCTION(library, name)                                                     \
  decltype(&::name) name = library.function<decltype(&::name)>(#name)

// The WinHTTP and CryptoAPI functions the transport calls.
struct HttpApi {
  SystemLibrary winhttp{L"winhttp.dll"};
  SystemLibrary crypt32{L"crypt32.dll"};
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpOpen);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpSetTimeouts);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpSetOption);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpConnect);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpOpenRequest);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpSendRequest);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpWriteData);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpReceiveResponse);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpQueryHeaders);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpQueryOption);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpReadData);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpCloseHandle);
  BRENNOW_SYSTEM_FUNCTION(crypt32, CryptHashCertificate2);
  BRENNOW_SYSTEM_FUNCTION(crypt32, CertFreeCertificateContext);
  BRENNOW_SYSTEM_FUNCTION(crypt32, CertGetCertificateChain);
  BRENNOW_SYSTEM_FUNCTION(crypt32, CertVerifyCertificateChainPolicy);
  BRENNOW_SYSTEM_FUNCTION(crypt32, CertFreeCertificateChain);
};

#undef BRENNOW_SYSTEM_FUNCTION

struct InternetCloser {
  decltype(&::WinHttpCloseHandle) close;
  void operator()(HINTERNET handle) const noexcept { close(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

struct CertificateFree {
  decltype(&::CertFreeCertificateContext) release;
  void operator()(PCCERT_CONTEXT certificate) const noexcept { release(certificate); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

struct ChainFree {
  decltype(&::CertFreeCertificateChain) release;
  void operator()(PCCERT_CHAIN_CONTEXT chain) const noexcept { release(chain); }
};
using CertificateChain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

constexpr DWORD kIgnoreCertificateErrors =
    SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
    SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;

// Socket timeout as some WinHTTP versions report a receive timeout.
constexpr DWORD kSocketTimedOut = 10060;

bool isCertificateError(DWORD error) {
  switch (error) {
  case ERROR_WINHTTP_SECURE_FAILURE:
  case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
  case ERROR_WINHTTP_SECURE_INVALID_CA:
  case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
  case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
  case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
  case ERROR_WINHTTP_SECURE_INVALID_CERT:
  case ERROR_WINHTTP_SECURE_CERT_REVOKED:
  case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    return true;
  default:
    return false;
  }
}

class WinHttpTransport final : public Transport {
public:
  WinHttpTransport(const Endpoint &endpoint, const TransportOptions &options)
      : endpoint_(endpoint), options_(options),
        timeoutMs_(static_cast<int>(options.timeoutSeconds) * 1000),
        api_(std::make_unique<const HttpApi>()), session_(nullptr, {api_->WinHttpCloseHandle}),
        connection_(nullptr, {api_->WinHttpCloseHandle}) {
    session_.reset(api_->WinHttpOpen(L"brennow", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session_)
      fail(GetLastError());
    api_->WinHttpSetTimeouts(session_.get(), timeoutMs_, timeoutMs_, timeoutMs_, timeoutMs_);
    enableTls12();
    connection_.reset(
        api_->WinHttpConnect(session_.get(), endpoint_.host.c_str(), endpoint_.port, 0));
    if (!connection_)
      fail(GetLastError());
  }

  HttpAnswer post(const std::string &envelope, const std::string &cookie, Content content,
                  Clock::time_point deadline) override {
    const auto started = std::chrono::steady_clock::now();
    if (started >= deadline)
      throw TransportError(TransportFailure::TimedOut, endpoint_, options_.timeoutSeconds, 0);
    try {
      InternetHandle request = openRequest(options_.thumbprint.has_value());
      const std::wstring headers = requestHeaders(cookie);
      // The body goes with the headers (a separate write waits for the peer's delayed
      // acknowledgement), except a secret one: that leaves only after the certificate of the
      // connection it goes out on is accepted. Every answer is taken only after that check.
      const bool holdBody = endpoint_.secure && content == Content::Secret;
      const auto size = static_cast<DWORD>(envelope.size());
      if (!api_->WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(-1),
                                    holdBody ? WINHTTP_NO_REQUEST_DATA
                                             : const_cast<char *>(envelope.data()),
                                    holdBody ? 0 : size, size, 0))
        sendFailed(GetLastError(), started);
      if (endpoint_.secure)
        acceptCertificate(request.get());
      if (holdBody)
        writeBody(request.get(), envelope);
      if (!api_->WinHttpReceiveResponse(request.get(), nullptr))
        fail(GetLastError());
      return readAnswer(request.get());
    } catch (const TransportError &error) {
      // A failure that took the whole timeout is the server not answering.
      if (error.failure() != TransportFailure::TimedOut && tookTimeout(started))
        throw TransportError(TransportFailure::TimedOut, endpoint_, options_.timeoutSeconds, 0);
      throw;
    }
  }

private:
  void enableTls12() {
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!api_->WinHttpSetOption(session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                sizeof protocols)) {
      protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
      api_->WinHttpSetOption(session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                             sizeof protocols);
    }
  }

  bool tookTimeout(std::chrono::steady_clock::time_point started) const {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    return elapsed.count() >= timeoutMs_ - timeoutMs_ / 10;
  }

  [[noreturn]] void fail(DWORD error) const {
    TransportFailure failure = TransportFailure::Other;
    switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      failure = TransportFailure::Resolve;
      break;
    case ERROR_WINHTTP_CANNOT_CONNECT:
      failure = TransportFailure::Connect;
      break;
    case ERROR_WINHTTP_TIMEOUT:
    case kSocketTimedOut:
      failure = TransportFailure::TimedOut;
      break;
    default:
      if (isCertificateError(error))
        failure = TransportFailure::Tls;
    }
    throw TransportError(failure, endpoint_, options_.timeoutSeconds, error);
  }

  // Connections are kept alive whatever checked their certificate: WinHTTP may hand one to
  // any later request to the same server (Wine pools them across sessions), and every
  // request checks the certificate of the connection it went out on (acceptCertificate).
  InternetHandle openRequest(bool ignoreCertificateErrors, bool keepAlive = true) const {
    InternetHandle request(
        api_->WinHttpOpenRequest(connection_.get(), L"POST", endpoint_.path.c_str(), nullptr,
                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                 endpoint_.secure ? WINHTTP_FLAG_SECURE : 0),
        {api_->WinHttpCloseHandle});
    if (!request)
      fail(GetLastError());
    // Only this option bounds the wait for an answer on every WinHTTP version.
    DWORD timeout = static_cast<DWORD>(timeoutMs_);
    api_->WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &timeout,
                           sizeof timeout);
    // The session cookie is kept by hand; a redirect is not the web service answering.
    DWORD disabled = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS;
    if (!keepAlive)
      disabled |= WINHTTP_DISABLE_KEEP_ALIVE;
    api_->WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &disabled,
                           sizeof disabled);
    if (ignoreCertificateErrors && endpoint_.secure) {
      DWORD flags = kIgnoreCertificateErrors;
      if (!api_->WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags,
                                  sizeof flags))
        fail(GetLastError());
    }
    return request;
  }

  static std::wstring requestHeaders(const std::string &cookie) {
    std::wstring headers =
        L"Content-Type: text/xml; charset=utf-8\r\nSOAPAction: " + fromUtf8(kSoapAction) + L"\r\n";
    if (!cookie.empty())
      headers += L"Cookie: " + fromUtf8(cookie) + L"\r\n";
    return headers;
  }

  // A refused certificate is looked at once more, without sending anything, to report
  // its thumbprint; any other failure is described as it is.
  [[noreturn]] void sendFailed(DWORD error, std::chrono::steady_clock::time_point started) const {
    if (endpoint_.secure && !options_.thumbprint && isCertificateError(error) &&
        !tookTimeout(started)) {
      InternetHandle probe = openRequest(true, false);
      if (api_->WinHttpSendRequest(probe.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                   WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        throw UntrustedCertificate(thumbprintOf(*serverCertificate(probe.get())), false);
    }
    fail(error);
  }

  // The certificate of the connection the request went out on: the pinned one when a
  // thumbprint is set, otherwise one whose chain the system trusts for the server's name.
  // WinHTTP checked the latter when it opened the connection, but a connection opened for a
  // pinned check may be handed to this request too.
  void acceptCertificate(HINTERNET request) {
    const Certificate certificate = serverCertificate(request);
    if (options_.thumbprint) {
      std::wstring presented = thumbprintOf(*certificate);
      if (presented != *options_.thumbprint)
        throw UntrustedCertificate(std::move(presented), true);
      return;
    }
    const std::span<const BYTE> encoded(certificate->pbCertEncoded, certificate->cbCertEncoded);
    if (std::ranges::equal(encoded, trustedCertificate_))
      return;
    if (!systemTrusts(*certificate))
      throw UntrustedCertificate(thumbprintOf(*certificate), false);
    trustedCertificate_.assign(encoded.begin(), encoded.end());
  }

  bool systemTrusts(const CERT_CONTEXT &certificate) const {
    LPSTR serverAuthentication = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuthentication;
    PCCERT_CHAIN_CONTEXT built = nullptr;
    if (!api_->CertGetCertificateChain(nullptr, &certificate, nullptr, certificate.hCertStore,
                                       &chainPara, 0, nullptr, &built) ||
        !built)
      return false;
    const CertificateChain chain(built, {api_->CertFreeCertificateChain});
    std::wstring serverName = endpoint_.host;
    HTTPSPolicyCallbackData ssl{};
    ssl.cbStruct = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = serverName.data();
    CERT_CHAIN_POLICY_PARA policyPara{};
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    return api_->CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policyPara,
                                                  &status) &&
           status.dwError == 0;
  }

  Certificate serverCertificate(HINTERNET request) const {
    PCCERT_CONTEXT context = nullptr;
    DWORD size = sizeof context;
    if (!api_->WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &context, &size) ||
        !context)
      throw adapterError(L"The server's certificate cannot be read");
    return Certificate(context, {api_->CertFreeCertificateContext});
  }

  std::wstring thumbprintOf(const CERT_CONTEXT &certificate) const {
    std::array<BYTE, 32> digest{};
    DWORD digestSize = digest.size();
    if (!api_->CryptHashCertificate2(L"SHA256", 0, nullptr, certificate.pbCertEncoded,
                                     certificate.cbCertEncoded, digest.data(), &digestSize) ||
        digestSize != digest.size())
      throw adapterError(L"The server certificate's SHA-256 thumbprint cannot be computed");
    return thumbprintText(digest.data(), digest.size());
  }

  void writeBody(HINTERNET request, const std::string &envelope) const {
    std::size_t sent = 0;
    while (sent < envelope.size()) {
      DWORD written = 0;
      if (!api_->WinHttpWriteData(request, envelope.data() + sent,
                                  static_cast<DWORD>(envelope.size() - sent), &written))
        fail(GetLastError());
      if (written == 0)
        fail(ERROR_WINHTTP_CONNECTION_ERROR);
      sent += written;
    }
  }

  std::optional<std::wstring> header(HINTERNET request, DWORD query, DWORD *index) const {
    DWORD size = 0;
    api_->WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size, index);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return std::nullopt;
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (!api_->WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, value.data(),
                                   &size, index))
      return std::nullopt;
    value.resize(size / sizeof(wchar_t));
    return value;
  }

  HttpAnswer readAnswer(HINTERNET request) const {
    HttpAnswer answer;
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!api_->WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                   WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                                   WINHTTP_NO_HEADER_INDEX))
      fail(GetLastError());
    answer.status = static_cast<int>(status);
    answer.contentType =
        toUtf8(header(request, WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_NO_HEADER_INDEX).value_or(L""));
    DWORD index = 0;
    while (auto cookie = header(request, WINHTTP_QUERY_SET_COOKIE, &index))
      answer.setCookies.push_back(toUtf8(*cookie));
    readBody(request, answer.body);
    return answer;
  }

  void readBody(HINTERNET request, std::string &body) const {
    std::array<char, 64 * 1024> chunk;
    for (;;) {
      DWORD read = 0;
      if (!api_->WinHttpReadData(request, chunk.data(), chunk.size(), &read))
        fail(GetLastError());
      if (read == 0)
        return;
      if (body.size() + read > kMaxAnswerBytes)
        throw adapterError(L"The server's answer is larger than " +
                           std::to_wstring(kMaxAnswerBytes >> 20) + L" MiB");
      body.append(chunk.data(), read);
    }
  }

  Endpoint endpoint_;
  TransportOptions options_;
  int timeoutMs_;
  std::unique_ptr<const HttpApi> api_; // outlives the handles below
  InternetHandle session_;
  InternetHandle connection_;
  std::vector<BYTE> trustedCertificate_; // the last certificate the system's check accepted
};

} // namespace

std::unique_ptr<Transport> makeWinHttpTransport(const Endpoint &endpoint,
                                                const TransportOptions &options) {
  return std::make_unique<WinHttpTransport>(endpoint, options);
}

} // namespace brennow::vmserver::vsphere
