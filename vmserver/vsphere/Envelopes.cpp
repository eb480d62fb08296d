#include "vmserver/vsphere/Envelopes.h"

#include "common/utf8.h"
#include "vmserver/vsphere/Errors.h"

namespace brennow::vmserver::vsphere {
namespace {

constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// XML 1.0's Char production, for a whole code point.
bool isXmlChar(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Whether every character of `text` is one XML can carry, surrogate pairs taken whole.
bool sendable(std::wstring_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<char32_t>(text[i]);
    if (kWideIsUtf16 && isHighSurrogate(c)) {
      if (i + 1 == text.size() || !isLowSurrogate(static_cast<char32_t>(text[i + 1])))
        return false;
      ++i;
    } else if (!isXmlChar(c)) {
      return false;
    }
  }
  return true;
}

// Text as element content or attribute value. Tab, line feed and carriage return go as
// references so that the server's parser keeps them as they are.
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
    case '\t':
      out += "&#9;";
      break;
    case '\n':
      out += "&#10;";
      break;
    case '\r':
      out += "&#13;";
      break;
    default:
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

std::string envelope(Operation operation, const std::string &content) {
  const std::string name(operation.name);
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
         "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
         "<soapenv:Body><" +
         name + " xmlns=\"urn:vim25\">" + content + "</" + name +
         "></soapenv:Body></soapenv:Envelope>";
}

std::string propertySpec(const PropertySet &properties) {
  std::string propSet = "<propSet>" + element("type", properties.type);
  for (std::wstring_view path : properties.paths)
    propSet += element("pathSet", path);
  return propSet + "</propSet>";
}

std::string retrieveRequest(const MoRef &propertyCollector, const std::string &specSet) {
  return envelope(op::RetrievePropertiesEx, reference("_this", propertyCollector) + "<specSet>" +
                                                specSet + "</specSet><options/>");
}

const MoRef kServiceInstance{std::wstring(type::ServiceInstance),
                             std::wstring(type::ServiceInstance)};

} // namespace

void requireSendable(std::wstring_view text, std::wstring_view what) {
  if (!sendable(text))
    throw adapterError(std::wstring(what) +
                       L" holds a character that cannot be sent to the server (a control "
                       L"character other than tab and line breaks, U+FFFE, U+FFFF or half of a "
                       L"surrogate pair)");
}

std::string retrieveServiceContentRequest() {
  return envelope(op::RetrieveServiceContent, reference("_this", kServiceInstance));
}

std::string currentTimeRequest() {
  return envelope(op::CurrentTime, reference("_this", kServiceInstance));
}

std::string loginRequest(const MoRef &sessionManager, std::wstring_view username,
                         std::wstring_view password) {
  return envelope(op::Login, reference("_this", sessionManager) + element("userName", username) +
                                 element("password", password));
}

std::string createContainerViewRequest(const MoRef &viewManager, const MoRef &folder,
                                       std::wstring_view type) {
  return envelope(op::CreateContainerView,
                  reference("_this", viewManager) + reference("container", folder) +
                      element("type", type) + "<recursive>true</recursive>");
}

std::string retrieveViewRequest(const MoRef &propertyCollector, const MoRef &view,
                                const PropertySet &properties) {
  return retrieveRequest(propertyCollector,
                         propertySpec(properties) + "<objectSet>" + reference("obj", view) +
                             "<skip>true</skip><selectSet xsi:type=\"TraversalSpec\">"
                             "<name>traverseView</name><type>ContainerView</type>"
                             "<path>view</path><skip>false</skip></selectSet></objectSet>");
}

std::string retrieveObjectsRequest(const MoRef &propertyCollector, std::span<const MoRef> objects,
                                   std::span<const PropertySet> properties) {
  std::string specSet;
  for (const PropertySet &set : properties)
    specSet += propertySpec(set);
  for (const MoRef &object : objects)
    specSet += "<objectSet>" + reference("obj", object) + "<skip>false</skip></objectSet>";
  return retrieveRequest(propertyCollector, specSet);
}

std::string continueRetrieveRequest(const MoRef &propertyCollector, std::wstring_view token) {
  return envelope(op::ContinueRetrievePropertiesEx,
                  reference("_this", propertyCollector) + element("token", token));
}

std::string destroyViewRequest(const MoRef &view) {
  return envelope(op::DestroyView, reference("_this", view));
}

std::string logoutRequest(const MoRef &sessionManager) {
  return envelope(op::Logout, reference("_this", sessionManager));
}

} // namespace brennow::vmserver::vsphere
