#include "vmserver/vsphere/Envelopes.h"

#include "common/utf8.h"

namespace brennow::vmserver::vsphere {
namespace {

// Text as element content or attribute value; line ends and other control characters
// as references so that they reach the server unchanged.
std::string escaped(std::wstring_view text) {
  std::string out;
  for (char c : toUtf8(text)) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\'':
      out += "&apos;";
      break;
    default:
      if (static_cast<unsigned char>(c) < 0x20)
        out += "&#" + std::to_string(static_cast<unsigned char>(c)) + ";";
      else
        out.push_back(c);
    }
  }
  return out;
}

std::string element(std::string_view name, std::wstring_view text) {
  return "<" + std::string(name) + ">" + escaped(text) + "</" + std::string(name) + ">";
}

std::string reference(std::string_view name, const MoRef &object) {
  return "<" + std::string(name) + " type=\"" + escaped(object.type) + "\">" +
         escaped(object.value) + "</" + std::string(name) + ">";
}

std::string envelope(std::string_view operation, const std::string &content) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
         "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
         "<soapenv:Body><" +
         std::string(operation) + " xmlns=\"urn:vim25\">" + content + "</" +
         std::string(operation) + "></soapenv:Body></soapenv:Envelope>";
}

std::string retrieveRequest(const MoRef &propertyCollector, const std::string &specSet) {
  return envelope("RetrievePropertiesEx", reference("_this", propertyCollector) + "<specSet>" +
                                              specSet + "</specSet><options/>");
}

} // namespace

std::string retrieveServiceContentRequest() {
  return envelope("RetrieveServiceContent",
                  reference("_this", {L"ServiceInstance", L"ServiceInstance"}));
}

std::string loginRequest(const MoRef &sessionManager, std::wstring_view username,
                         std::wstring_view password) {
  return envelope("Login", reference("_this", sessionManager) + element("userName", username) +
                               element("password", password));
}

std::string createContainerViewRequest(const MoRef &viewManager, const MoRef &folder) {
  return envelope("CreateContainerView",
                  reference("_this", viewManager) + reference("container", folder) +
                      "<type>VirtualMachine</type><recursive>true</recursive>");
}

std::string retrieveViewNamesRequest(const MoRef &propertyCollector, const MoRef &view) {
  return retrieveRequest(propertyCollector,
                         "<propSet><type>VirtualMachine</type><pathSet>name</pathSet></propSet>"
                         "<objectSet>" +
                             reference("obj", view) +
                             "<skip>true</skip><selectSet xsi:type=\"TraversalSpec\">"
                             "<name>traverseView</name><type>ContainerView</type>"
                             "<path>view</path><skip>false</skip></selectSet></objectSet>");
}

std::string continueRetrieveRequest(const MoRef &propertyCollector, std::wstring_view token) {
  return envelope("ContinueRetrievePropertiesEx",
                  reference("_this", propertyCollector) + element("token", token));
}

std::string retrieveMachineStateRequest(const MoRef &propertyCollector, const MoRef &machine) {
  return retrieveRequest(propertyCollector,
                         "<propSet><type>VirtualMachine</type>" +
                             element("pathSet", kConnectionState) + element("pathSet", kQuestion) +
                             element("pathSet", kPowerState) + "</propSet><objectSet>" +
                             reference("obj", machine) + "<skip>false</skip></objectSet>");
}

std::string destroyViewRequest(const MoRef &view) {
  return envelope("DestroyView", reference("_this", view));
}

std::string logoutRequest(const MoRef &sessionManager) {
  return envelope("Logout", reference("_this", sessionManager));
}

} // namespace brennow::vmserver::vsphere
