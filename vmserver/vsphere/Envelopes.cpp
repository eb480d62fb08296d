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

// Text as element content or attribute value, appended to `out`. Tab, line feed and carriage
// return go as references so that the server's parser keeps them as they are.
void appendEscaped(std::string &out, std::wstring_view text) {
  while (!text.empty()) {
    const std::size_t plain = text.find_first_of(L"&<>\"'\t\n\r");
    appendUtf8(out, text.substr(0, plain));
    if (plain == std::wstring_view::npos)
      return;
    switch (text[plain]) {
    case L'&':
      out += "&amp;";
      break;
    case L'<':
      out += "&lt;";
      break;
    case L'>':
      out += "&gt;";
      break;
    case L'"':
      out += "&quot;";
      break;
    case L'\'':
      out += "&apos;";
      break;
    case L'\t':
      out += "&#9;";
      break;
    case L'\n':
      out += "&#10;";
      break;
    default:
      out += "&#13;";
    }
    text.remove_prefix(plain + 1);
  }
}

// One request's envelope, written front to back into one string: a request costs one
// allocation, not one per element.
class Request {
public:
  explicit Request(Operation operation) : name_(operation.name) {
    out_.reserve(1024);
    out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
            "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
            "<soapenv:Body><";
    out_ += name_;
    out_ += " xmlns=\"urn:vim25\">";
  }

  Request &element(std::string_view name, std::wstring_view text) {
    open(name);
    appendEscaped(out_, text);
    return close(name);
  }

  Request &reference(std::string_view name, const MoRef &object) {
    out_ += '<';
    out_ += name;
    out_ += " type=\"";
    appendEscaped(out_, object.type);
    out_ += "\">";
    appendEscaped(out_, object.value);
    return close(name);
  }

  Request &markup(std::string_view text) {
    out_ += text;
    return *this;
  }

  Request &propertySpec(const PropertySet &properties) {
    markup("<propSet>").element("type", properties.type);
    for (std::wstring_view path : properties.paths)
      element("pathSet", path);
    return markup("</propSet>");
  }

  std::string done() {
    out_ += "</";
    out_ += name_;
    out_ += "></soapenv:Body></soapenv:Envelope>";
    return std::move(out_);
  }

private:
  void open(std::string_view name) {
    out_ += '<';
    out_ += name;
    out_ += '>';
  }
  Request &close(std::string_view name) {
    out_ += "</";
    out_ += name;
    out_ += '>';
    return *this;
  }

  std::string_view name_;
  std::string out_;
};

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
  return Request(op::RetrieveServiceContent).reference("_this", kServiceInstance).done();
}

std::string currentTimeRequest() {
  return Request(op::CurrentTime).reference("_this", kServiceInstance).done();
}

std::string loginRequest(const MoRef &sessionManager, std::wstring_view username,
                         std::wstring_view password) {
  return Request(op::Login)
      .reference("_this", sessionManager)
      .element("userName", username)
      .element("password", password)
      .done();
}

std::string createContainerViewRequest(const MoRef &viewManager, const MoRef &folder,
                                       std::wstring_view type) {
  return Request(op::CreateContainerView)
      .reference("_this", viewManager)
      .reference("container", folder)
      .element("type", type)
      .markup("<recursive>true</recursive>")
      .done();
}

std::string retrieveViewRequest(const MoRef &propertyCollector, const MoRef &view,
                                const PropertySet &properties) {
  return Request(op::RetrievePropertiesEx)
      .reference("_this", propertyCollector)
      .markup("<specSet>")
      .propertySpec(properties)
      .markup("<objectSet>")
      .reference("obj", view)
      .markup("<skip>true</skip><selectSet xsi:type=\"TraversalSpec\">"
              "<name>traverseView</name><type>ContainerView</type>"
              "<path>view</path><skip>false</skip></selectSet></objectSet>"
              "</specSet><options/>")
      .done();
}

std::string retrieveObjectsRequest(const MoRef &propertyCollector, std::span<const MoRef> objects,
                                   std::span<const PropertySet> properties) {
  Request request(op::RetrievePropertiesEx);
  request.reference("_this", propertyCollector).markup("<specSet>");
  for (const PropertySet &set : properties)
    request.propertySpec(set);
  for (const MoRef &object : objects)
    request.markup("<objectSet>").reference("obj", object).markup("<skip>false</skip></objectSet>");
  return request.markup("</specSet><options/>").done();
}

std::string continueRetrieveRequest(const MoRef &propertyCollector, std::wstring_view token) {
  return Request(op::ContinueRetrievePropertiesEx)
      .reference("_this", propertyCollector)
      .element("token", token)
      .done();
}

std::string destroyViewRequest(const MoRef &view) {
  return Request(op::DestroyView).reference("_this", view).done();
}

std::string logoutRequest(const MoRef &sessionManager) {
  return Request(op::Logout).reference("_this", sessionManager).done();
}

} // namespace brennow::vmserver::vsphere
