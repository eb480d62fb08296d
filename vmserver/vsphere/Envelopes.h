#pragma once
// The SOAP requests of one check, as UTF-8 documents for POSTing to the endpoint.
#include <string>
#include <string_view>

namespace brennow::vmserver::vsphere {

// A managed object reference: its type and the server's identifier.
struct MoRef {
  std::wstring type;
  std::wstring value;
  bool operator==(const MoRef &) const = default;
};

// The SOAPAction header value every request carries.
inline constexpr char kSoapAction[] = "\"urn:vim25/6.5\"";

// The property paths the execution state is read from.
inline constexpr wchar_t kConnectionState[] = L"runtime.connectionState";
inline constexpr wchar_t kQuestion[] = L"runtime.question";
inline constexpr wchar_t kPowerState[] = L"runtime.powerState";

std::string retrieveServiceContentRequest();
std::string loginRequest(const MoRef &sessionManager, std::wstring_view username,
                         std::wstring_view password);
// A view of every VirtualMachine under `folder`, recursively.
std::string createContainerViewRequest(const MoRef &viewManager, const MoRef &folder);
// The name of every object in `view`, first page.
std::string retrieveViewNamesRequest(const MoRef &propertyCollector, const MoRef &view);
std::string continueRetrieveRequest(const MoRef &propertyCollector, std::wstring_view token);
// The three runtime properties of one machine.
std::string retrieveMachineStateRequest(const MoRef &propertyCollector, const MoRef &machine);
std::string destroyViewRequest(const MoRef &view);
std::string logoutRequest(const MoRef &sessionManager);

} // namespace brennow::vmserver::vsphere
