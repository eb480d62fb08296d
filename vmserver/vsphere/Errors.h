#pragma once
// The adapter's own descriptions: the transport library has no message texts under every
// platform, and a server that is not a vSphere endpoint must still be described.
#include <cstdint>
#include <string>
#include <string_view>

#include "common/AutomationError.h"
#include "vmserver/vsphere/Endpoint.h"

namespace brennow::vmserver::vsphere {

enum class TransportFailure { Resolve, Connect, TimedOut, Tls, Other };

// A failure to exchange a request with the server. `code` is the platform's error number.
class TransportError : public AutomationError {
public:
  TransportError(TransportFailure failure, const Endpoint &endpoint, int timeoutSeconds,
                 std::uint32_t code);
  TransportFailure failure() const noexcept { return failure_; }

private:
  TransportFailure failure_;
};

// A SOAP fault: the server understood the request and refused it.
class ServerFault : public AutomationError {
public:
  using AutomationError::AutomationError;
};

// The server's own fault text, or a general one when the fault has none.
ServerFault serverFault(std::wstring_view faultText);

// What came back is not an answer of the web service; `what` says what it is.
AutomationError notVSphereAnswer(std::wstring_view what);

// Any other failure the adapter describes itself.
AutomationError adapterError(std::wstring description);

} // namespace brennow::vmserver::vsphere
