#include "vmserver/vsphere/win/WinHttpTransport.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "common/utf8.h"
#include "vmserver/UntrustedCertificate.h"
#include "vmserver/vsphere/Envelopes.h"
#include "vmserver/vsphere/Errors.h"
#include "vmserver/vsphere/win/AsyncRequest.h"
#include "vmserver/vsphere/win/HttpApi.h"
#include "vmserver/vsphere/win/ServerTrust.h"

namespace brennow::vmserver::vsphere {
namespace {

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

// Wine's WinHTTP writes a request even when the SENDING_REQUEST notification closed its handle
// (Windows sends nothing then), and it pools connections for the whole process rather than per
// session, handing a kept connection to any later request for the same server.
bool platformSendsRefusedRequests() {
  static const bool wine =
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

// One WinHTTP session in asynchronous mode and its connection handle to the server.
struct Route {
  InternetHandle session;
  InternetHandle connection;
};

class WinHttpTransport final : public Transport {
public:
  WinHttpTransport(const Endpoint &endpoint, const TransportOptions &options)
      : endpoint_(endpoint), options_(options),
        timeoutMs_(static_cast<int>(options.timeoutSeconds) * 1000),
        api_(std::make_shared<const HttpApi>()),
        trust_(endpoint.secure
                   ? std::make_shared<const ServerTrust>(api_, endpoint.host, options.thumbprint)
                   : nullptr),
        opening_(openRoute(true)) {
    if (endpoint_.secure && platformSendsRefusedRequests())
      knownOnly_ = openRoute(false);
  }

  // Later call backs of the sessions and connections (their closing, when the last request a
  // worker still holds goes) find no callback: only requests keep the library loaded.
  ~WinHttpTransport() override {
    silence(opening_);
    if (knownOnly_)
      silence(*knownOnly_);
  }

  HttpAnswer post(const std::string &envelope, const std::string &cookie, Content content,
                  Clock::time_point deadline) override {
    if (Clock::now() >= deadline)
      throw timedOut();
    const bool carriesSecrets = !cookie.empty() || content == Content::Secret;
    try {
      if (knownOnly_ && carriesSecrets)
        return postOnKnownConnection(envelope, cookie, content, deadline);
      return *exchange(opening_, envelope, cookie, content, deadline);
    } catch (const TransportError &error) {
      // A failure that came at the deadline is the server not answering in time.
      if (error.failure() != TransportFailure::TimedOut && nearDeadline(deadline))
        throw timedOut();
      throw;
    }
  }

private:
  // `opensConnections`: false for a session that can only take connections other requests
  // opened and left for reuse: it offers no TLS protocol any server negotiates, so a new
  // connection ends in its handshake, before anything of a request is written.
  Route openRoute(bool opensConnections) const {
    Route route{InternetHandle(api_->WinHttpOpen(L"brennow", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                                 WINHTTP_FLAG_ASYNC),
                               {api_->WinHttpCloseHandle}),
                InternetHandle(nullptr, {api_->WinHttpCloseHandle})};
    if (!route.session)
      fail(GetLastError());
    api_->WinHttpSetTimeouts(route.session.get(), timeoutMs_, timeoutMs_, timeoutMs_, timeoutMs_);
    if (api_->WinHttpSetStatusCallback(route.session.get(), &AsyncRequest::onStatus,
                                       AsyncRequest::kNotifications,
                                       0) == WINHTTP_INVALID_STATUS_CALLBACK)
      fail(GetLastError());
    if (opensConnections)
      enableTls12(route.session.get());
    else if (DWORD unusable = WINHTTP_FLAG_SECURE_PROTOCOL_SSL2; !api_->WinHttpSetOption(
                 route.session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &unusable, sizeof unusable))
      fail(GetLastError());
    route.connection.reset(
        api_->WinHttpConnect(route.session.get(), endpoint_.host.c_str(), endpoint_.port, 0));
    if (!route.connection)
      fail(GetLastError());
    return route;
  }

  void silence(const Route &route) const {
    api_->WinHttpSetStatusCallback(route.connection.get(), nullptr, 0, 0);
    api_->WinHttpSetStatusCallback(route.session.get(), nullptr, 0, 0);
  }

  void enableTls12(HINTERNET session) const {
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!api_->WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                sizeof protocols)) {
      protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
      api_->WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                             sizeof protocols);
    }
  }

  // Where the platform writes refused requests: what carries the cookie or the password goes
  // out only on a connection an earlier request's check accepted. When there is none (the
  // server closed it), a request that carries neither opens one first and is checked.
  HttpAnswer postOnKnownConnection(const std::string &envelope, const std::string &cookie,
                                   Content content, Clock::time_point deadline) {
    if (auto answer = exchange(*knownOnly_, envelope, cookie, content, deadline))
      return *std::move(answer);
    exchange(opening_, retrieveServiceContentRequest(), {}, Content::Plain, deadline);
    if (auto answer = exchange(*knownOnly_, envelope, cookie, content, deadline))
      return *std::move(answer);
    // The server keeps no connection open between two requests.
    throw TransportError(TransportFailure::Tls, endpoint_, options_.timeoutSeconds,
                         ERROR_WINHTTP_SECURE_FAILURE);
  }

  // One request on `route`; no answer when the route has no connection for it and nothing
  // was sent.
  std::optional<HttpAnswer> exchange(const Route &route, const std::string &envelope,
                                     const std::string &cookie, Content content,
                                     Clock::time_point deadline) {
    const bool opensConnections = &route == &opening_; // the other one only reuses them
    RequestInFlight request =
        open(route, {deadline, endpoint_.secure, pinned() && opensConnections});
    // The body goes with the headers (a separate write waits for the peer's delayed
    // acknowledgement), except a secret one: that leaves only after the certificate of the
    // connection it goes out on is accepted.
    const bool holdBody = endpoint_.secure && content == Content::Secret;
    const auto size = static_cast<DWORD>(envelope.size());
    const Step sent =
        request->send(requestHeaders(cookie), holdBody ? std::string() : envelope, size);
    if (sent.result == StepResult::Failed) {
      if (!opensConnections && !request->reachedSending())
        return std::nullopt;
      sendFailed(sent.error, deadline);
    }
    settle(*request, sent);
    if (endpoint_.secure)
      acceptCertificateAfterSending(*request, deadline);
    if (holdBody)
      settle(*request, request->write(envelope));
    settle(*request, request->receive());
    return readAnswer(*request);
  }

  RequestInFlight open(const Route &route, const AsyncRequest::Options &options) const {
    auto request =
        AsyncRequest::open(api_, trust_, route.connection.get(), endpoint_.path, options);
    if (!request)
      fail(GetLastError());
    return RequestInFlight(std::move(request));
  }

  bool pinned() const { return trust_ && trust_->pinned(); }

  Step settle(const AsyncRequest &request, const Step &step) const {
    switch (step.result) {
    case StepResult::Done:
      return step;
    case StepResult::Refused: {
      const CertificateVerdict refused = request.refusal();
      throw UntrustedCertificate(refused.thumbprint, refused.pinnedMismatch);
    }
    case StepResult::TimedOut:
      throw timedOut();
    case StepResult::Failed:
      break;
    }
    fail(step.error);
  }

  // Where the platform did not notify the send, the certificate is checked before the answer
  // is taken and before a held-back body leaves.
  void acceptCertificateAfterSending(const AsyncRequest &request, Clock::time_point deadline) {
    if (request.certificateJudged())
      return;
    const Certificate certificate = trust_->certificateOf(request.handle());
    if (!certificate)
      throw adapterError(L"The server's certificate cannot be read");
    CertificateVerdict verdict = trust_->judge(*certificate, deadline);
    if (!verdict.accepted)
      throw UntrustedCertificate(std::move(verdict.thumbprint), verdict.pinnedMismatch);
  }

  // A certificate WinHTTP refused in the handshake (without a thumbprint) is looked at once
  // more, on a connection that is not kept, to report its thumbprint; the probe carries
  // nothing and is refused before it leaves. Any other failure is described as it is.
  [[noreturn]] void sendFailed(DWORD error, Clock::time_point deadline) {
    if (endpoint_.secure && !pinned() && isCertificateError(error) && !nearDeadline(deadline)) {
      RequestInFlight probe = open(opening_, {deadline, true, true, false});
      if (probe->send({}, {}, 0).result == StepResult::Refused)
        throw UntrustedCertificate(probe->refusal().thumbprint, false);
    }
    fail(error);
  }

  std::wstring requestHeaders(const std::string &cookie) const {
    std::wstring headers;
    headers.reserve(fixedHeaders_.size() + cookie.size() + 12);
    headers += fixedHeaders_;
    if (!cookie.empty()) {
      headers += L"Cookie: ";
      appendFromUtf8(headers, cookie);
      headers += L"\r\n";
    }
    return headers;
  }

  // A header's value as UTF-8; most fit the first buffer, which saves asking for the size first.
  std::optional<std::string> header(HINTERNET request, DWORD query, DWORD *index) const {
    wchar_t first[256];
    DWORD size = sizeof first;
    if (api_->WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, first, &size,
                                  index))
      return toUtf8(std::wstring_view(first, size / sizeof(wchar_t)));
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return std::nullopt;
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (!api_->WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, value.data(),
                                   &size, index))
      return std::nullopt;
    value.resize(size / sizeof(wchar_t));
    return toUtf8(value);
  }

  HttpAnswer readAnswer(AsyncRequest &request) const {
    HttpAnswer answer;
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!api_->WinHttpQueryHeaders(
            request.handle(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
      fail(GetLastError());
    answer.status = static_cast<int>(status);
    answer.contentType =
        header(request.handle(), WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_NO_HEADER_INDEX)
            .value_or(std::string());
    DWORD index = 0;
    while (auto cookie = header(request.handle(), WINHTTP_QUERY_SET_COOKIE, &index))
      answer.setCookies.push_back(std::move(*cookie));
    // A body of announced length is done with its last byte: asking again would cost a hand-over
    // to WinHTTP's worker and back for nothing.
    const std::optional<DWORD> length = contentLength(request.handle());
    while (!length || request.bodySize() < *length) {
      if (settle(request, request.read(nextReadSize(request.bodySize(), length))).bytes == 0)
        break;
      if (request.bodySize() > kMaxAnswerBytes)
        throw adapterError(L"The server's answer is larger than " +
                           std::to_wstring(kMaxAnswerBytes >> 20) + L" MiB");
    }
    answer.body = request.takeBody();
    return answer;
  }

  // What the next read takes: the rest of an announced body, or a part that grows with the body
  // read so far. The buffer is filled with zeros first; a small answer then costs no more than
  // it needs, where a whole part for every read maps and clears fresh pages each time.
  static DWORD nextReadSize(std::size_t read, std::optional<DWORD> length) {
    constexpr std::size_t kFirstPart = 16 * 1024;
    if (length)
      return *length - static_cast<DWORD>(read);
    return static_cast<DWORD>(std::clamp<std::size_t>(read, kFirstPart, AsyncRequest::kReadChunk));
  }

  std::optional<DWORD> contentLength(HINTERNET request) const {
    DWORD length = 0;
    DWORD size = sizeof length;
    if (!api_->WinHttpQueryHeaders(
            request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
            WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX))
      return std::nullopt;
    return length;
  }

  bool nearDeadline(Clock::time_point deadline) const {
    return Clock::now() >= deadline - std::chrono::milliseconds(timeoutMs_ / 10);
  }

  TransportError timedOut() const {
    return TransportError(TransportFailure::TimedOut, endpoint_, options_.timeoutSeconds, 0);
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

  Endpoint endpoint_;
  TransportOptions options_;
  int timeoutMs_;
  // What every request carries; a logged-in one adds its cookie.
  std::wstring fixedHeaders_ =
      L"Content-Type: text/xml; charset=utf-8\r\nSOAPAction: " + fromUtf8(kSoapAction) + L"\r\n";
  SharedHttpApi api_; // outlives the handles below; requests still in WinHTTP's hands share it
  std::shared_ptr<const ServerTrust> trust_; // null for plain http
  Route opening_;
  // Where the platform writes refused requests: the session that only reuses connections.
  std::optional<Route> knownOnly_;
};

} // namespace

std::unique_ptr<Transport> makeWinHttpTransport(const Endpoint &endpoint,
                                                const TransportOptions &options) {
  return std::make_unique<WinHttpTransport>(endpoint, options);
}

} // namespace brennow::vmserver::vsphere
