#pragma once
// The HTTP exchange the adapter needs: POST one SOAP envelope to the endpoint, get the
// status, the body and the session cookie back. WinHTTP on Windows, fakes in tests.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vmserver/vsphere/Endpoint.h"

namespace brennow::vmserver::vsphere {

struct HttpAnswer {
  int status = 0;
  std::string contentType;
  std::string body;
  // Every Set-Cookie header line's value.
  std::vector<std::string> setCookies;
};

// The most an answer may hold; a larger one is refused before it is kept.
inline constexpr std::size_t kMaxAnswerBytes = 64u << 20;

class Transport {
public:
  virtual ~Transport() = default;
  // Whether the envelope holds a secret (a password) that must not leave before the
  // server's certificate is accepted.
  enum class Content { Plain, Secret };

  using Clock = std::chrono::steady_clock;

  // Sends `envelope` with `cookie` ("name=value", may be empty) in a Cookie header and
  // returns the whole answer by `deadline`, whatever the server's pace: resolving,
  // connecting, the handshake, sending, the headers and the body all end by then.
  // Throws TransportError when no answer comes (TimedOut once the deadline has passed),
  // UntrustedCertificate for a refused certificate, AutomationError for an answer over
  // kMaxAnswerBytes.
  virtual HttpAnswer post(const std::string &envelope, const std::string &cookie, Content content,
                          Clock::time_point deadline) = 0;
};

struct TransportOptions {
  int timeoutSeconds = 60;
  // The pinned certificate thumbprint, normalized; when set it must match.
  std::optional<std::wstring> thumbprint;
};

using TransportFactory =
    std::function<std::unique_ptr<Transport>(const Endpoint &, const TransportOptions &)>;

} // namespace brennow::vmserver::vsphere
