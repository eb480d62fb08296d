#include "vmserver/vsphere/Errors.h"

namespace brennow::vmserver::vsphere {
namespace {

constexpr std::int32_t kFail = static_cast<std::int32_t>(0x80004005u); // E_FAIL

std::int32_t hresultOfCode(std::uint32_t code) {
  return code == 0 ? kFail : static_cast<std::int32_t>(0x80070000u | (code & 0xFFFFu));
}

std::wstring describe(TransportFailure failure, const Endpoint &endpoint, int timeoutSeconds,
                      std::uint32_t code) {
  const std::wstring host = endpoint.host;
  const std::wstring port = std::to_wstring(endpoint.port);
  switch (failure) {
  case TransportFailure::Resolve:
    return L"Could not resolve the server name " + host;
  case TransportFailure::Connect:
    return L"Could not connect to " + host + L" on port " + port;
  case TransportFailure::TimedOut:
    return L"The server " + host + L" did not answer within " + std::to_wstring(timeoutSeconds) +
           L" second(s)";
  case TransportFailure::Tls:
    return L"Could not establish a secure connection with " + host + L" on port " + port;
  case TransportFailure::Other:
    break;
  }
  return L"The exchange with " + endpoint.url() + L" failed (error " + std::to_wstring(code) + L")";
}

} // namespace

TransportError::TransportError(TransportFailure failure, const Endpoint &endpoint,
                               int timeoutSeconds, std::uint32_t code)
    : AutomationError(hresultOfCode(code), describe(failure, endpoint, timeoutSeconds, code)),
      failure_(failure) {}

ServerFault serverFault(std::wstring_view faultText) {
  if (faultText.empty())
    return ServerFault(kFail, L"The server answered with a fault that has no text");
  return ServerFault(kFail, std::wstring(faultText));
}

AutomationError notVSphereAnswer(std::wstring_view what) {
  return AutomationError(kFail, L"The server's answer is not a vSphere Web Services answer (" +
                                    std::wstring(what) + L")");
}

AutomationError adapterError(std::wstring description) {
  return AutomationError(kFail, std::move(description));
}

} // namespace brennow::vmserver::vsphere
