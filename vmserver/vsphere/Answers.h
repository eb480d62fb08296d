#pragma once
// Reading the server's answers: status and SOAP framing checked, faults turned into
// their text, the few values the adapter needs picked out while the answer streams by.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vmserver/vsphere/Envelopes.h"
#include "vmserver/vsphere/Transport.h"
#include "vmserver/vsphere/XmlReader.h"

namespace brennow::vmserver::vsphere {

// The longest text of one element the reader keeps.
inline constexpr std::size_t kMaxTextLength = 65536;

struct ServiceContent {
  MoRef rootFolder;
  MoRef propertyCollector;
  MoRef viewManager;
  MoRef sessionManager;
};

struct NamedObject {
  MoRef object;
  std::wstring name;
};

// One page of a property retrieval: the objects' names, and the token of the next page.
struct NamesPage {
  std::vector<NamedObject> objects;
  std::wstring token; // empty on the last page
};

struct MachineRuntime {
  std::optional<std::wstring> connectionState;
  std::optional<std::wstring> powerState;
  bool question = false;
};

// Every reader throws AutomationError: the server's fault text, or what is wrong.
ServiceContent readServiceContent(const HttpAnswer &answer, const XmlReaderFactory &reader);
// An answer whose content does not matter (Login, DestroyView, Logout).
void readAcknowledgement(const HttpAnswer &answer, std::wstring_view operation,
                         const XmlReaderFactory &reader);
MoRef readContainerView(const HttpAnswer &answer, const XmlReaderFactory &reader);
// `operation`: "RetrievePropertiesEx" or "ContinueRetrievePropertiesEx".
NamesPage readNamesPage(const HttpAnswer &answer, std::wstring_view operation,
                        const XmlReaderFactory &reader);
MachineRuntime readMachineRuntime(const HttpAnswer &answer, const XmlReaderFactory &reader);

// The execution state code: 5 not connected, 4 waiting on a question, 1 on, 2 off,
// 3 suspended. Throws AutomationError when the power state is missing or unknown.
std::int32_t executionStateOf(const MachineRuntime &runtime);

// "vmware_soap_session=<value>" from Set-Cookie values, when one sets it.
std::optional<std::string> sessionCookieOf(const std::vector<std::string> &setCookies);

} // namespace brennow::vmserver::vsphere
