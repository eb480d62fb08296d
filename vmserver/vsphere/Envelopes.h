#pragma once
// The SOAP requests of one check, as UTF-8 documents for POSTing to the endpoint.
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vmserver/vsphere/Vim.h"

namespace brennow::vmserver::vsphere {

// A managed object reference: its type and the server's identifier.
struct MoRef {
  std::wstring type;
  std::wstring value;
  bool operator==(const MoRef &) const = default;
};

// The SOAPAction header value every request carries.
inline constexpr char kSoapAction[] = "\"urn:vim25/6.5\"";

// Which properties a retrieval reads of the objects of one type.
struct PropertySet {
  std::wstring_view type;
  std::vector<std::wstring_view> paths;
  // The values are plain texts (names, states): their type attributes need not be read.
  bool scalarsOnly = false;
  // Fields of the values' data objects that nobody reads, by name at any depth: they are read
  // past instead of kept. A field of any other name is kept, whatever the server sends.
  std::vector<std::wstring_view> skippedFields{};
};

// Throws AutomationError naming `what` ("The password") when `text` holds a character that
// XML cannot carry (a control character other than tab, line feed and carriage return,
// U+FFFE, U+FFFF, or half of a surrogate pair): nothing may change what the server receives.
void requireSendable(std::wstring_view text, std::wstring_view what);

std::string retrieveServiceContentRequest();
std::string currentTimeRequest();
// Both texts must be sendable: the session checks them before anything is sent.
std::string loginRequest(const MoRef &sessionManager, std::wstring_view username,
                         std::wstring_view password);
// A view of every object of `type` under `folder`, recursively.
std::string createContainerViewRequest(const MoRef &viewManager, const MoRef &folder,
                                       std::wstring_view type);
// `properties` of every object in `view`, first page.
std::string retrieveViewRequest(const MoRef &propertyCollector, const MoRef &view,
                                const PropertySet &properties);
// Of exactly `objects`: each type's paths from `properties`.
std::string retrieveObjectsRequest(const MoRef &propertyCollector, std::span<const MoRef> objects,
                                   std::span<const PropertySet> properties);
std::string continueRetrieveRequest(const MoRef &propertyCollector, std::wstring_view token);
std::string destroyViewRequest(const MoRef &view);
std::string logoutRequest(const MoRef &sessionManager);

} // namespace brennow::vmserver::vsphere
