#include "tests/native/vsphere/FakeVSphere.h"

#include "common/utf8.h"
#include "vmserver/vsphere/native/LibXml2Reader.h"

using namespace brennow::vmserver::vsphere;

namespace brennow::testing {

namespace {

std::string utf8(const std::wstring &text) {
  std::string out;
  for (char c : toUtf8(text)) {
    if (c == '<')
      out += "&lt;";
    else if (c == '&')
      out += "&amp;";
    else
      out.push_back(c);
  }
  return out;
}

std::string soap(const std::string &body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n<soapenv:Body>\n" +
         body + "\n</soapenv:Body>\n</soapenv:Envelope>";
}

HttpAnswer ok(const std::string &operation, const std::string &content) {
  return {200,
          "text/xml; charset=utf-8",
          soap("<" + operation + "Response xmlns=\"urn:vim25\">" + content + "</" + operation +
               "Response>"),
          {}};
}

HttpAnswer fault(const std::wstring &text, const std::string &detail) {
  return {500,
          "text/xml; charset=utf-8",
          soap("<soapenv:Fault><faultcode>ServerFaultCode</faultcode><faultstring>" + utf8(text) +
               "</faultstring><detail><" + detail + " xmlns=\"urn:vim25\" xsi:type=\"" + detail +
               "\"/></detail></soapenv:Fault>"),
          {}};
}

} // namespace

FakeRequest readFakeRequest(const std::string &envelope) {
  FakeRequest request;
  auto reader = makeLibXml2Reader(envelope);
  int depth = 0;
  std::wstring element, text;
  std::optional<std::wstring> type;
  for (XmlNode node = reader->next(); node != XmlNode::EndOfDocument; node = reader->next()) {
    if (node == XmlNode::StartElement) {
      if (++depth == 3)
        request.operation = reader->localName();
      element = reader->localName();
      type.reset();
      if (auto found = reader->attribute(L"type"))
        type.emplace(*found);
      text.clear();
      if (reader->isEmptyElement())
        --depth;
    } else if (node == XmlNode::Text) {
      text += reader->text();
    } else {
      --depth;
      if (!element.empty() && !request.values.count(element)) {
        request.values[element] = text;
        if (type)
          request.types[element] = *type;
      }
      element.clear();
    }
  }
  return request;
}

TransportFactory FakeVSphere::transportFactory() {
  class FakeTransport final : public Transport {
  public:
    explicit FakeTransport(FakeVSphere &server) : server_(server) {}
    HttpAnswer post(const std::string &envelope, const std::string &cookie, Content content,
                    Clock::time_point deadline) override {
      server_.deadlines.push_back(deadline);
      return server_.answer(envelope, cookie, content);
    }

  private:
    FakeVSphere &server_;
  };
  return [this](const Endpoint &e, const TransportOptions &o) -> std::unique_ptr<Transport> {
    endpoint = e;
    options = o;
    return std::make_unique<FakeTransport>(*this);
  };
}

HttpAnswer FakeVSphere::answer(const std::string &envelope, const std::string &cookie,
                               Transport::Content content) {
  const FakeRequest request = readFakeRequest(envelope);
  operations.push_back(request.operation);
  cookiesSent.push_back(cookie);
  contents.push_back(content);
  if (auto failure = failures.find(request.operation); failure != failures.end()) {
    if (failure->second.transport)
      throw TransportError(*failure->second.transport, *endpoint, options->timeoutSeconds, 12002);
    if (!failure->second.html.empty())
      return {200, "text/html", failure->second.html, {}};
    return fault(failure->second.faultText, "SystemError");
  }
  return respond(request, cookie);
}

HttpAnswer FakeVSphere::respond(const FakeRequest &request, const std::string &cookie) {
  const std::wstring &op = request.operation;
  if (op == L"RetrieveServiceContent")
    return ok("RetrieveServiceContent",
              "<returnval><rootFolder type=\"Folder\">" + utf8(rootFolder) +
                  "</rootFolder><propertyCollector type=\"PropertyCollector\">propertyCollector"
                  "</propertyCollector><viewManager type=\"ViewManager\">ViewManager</viewManager>"
                  "<sessionManager type=\"SessionManager\">SessionManager</sessionManager>"
                  "</returnval>");
  if (op == L"Login") {
    if (request.values.at(L"userName") != username || request.values.at(L"password") != password)
      return fault(L"Login failure", "InvalidLogin");
    const std::wstring session = L"session" + std::to_wstring(++nextSession_);
    liveSessions.insert(session);
    HttpAnswer answer = ok("Login", "<returnval><key>" + utf8(session) + "</key></returnval>");
    answer.setCookies = {"vmware_soap_session=\"" + toUtf8(session) + "\"; Path=/; HttpOnly"};
    return answer;
  }
  const std::string expected = cookie.size() > 22 ? cookie.substr(21, cookie.size() - 22) : "";
  if (!liveSessions.count(fromUtf8(expected)))
    return fault(L"The session is not authenticated.", "NotAuthenticated");
  if (op == L"Logout") {
    liveSessions.erase(fromUtf8(expected));
    return ok("Logout", "");
  }
  if (op == L"CreateContainerView") {
    if (request.values.at(L"container") != rootFolder)
      return fault(L"Unexpected container", "InvalidArgument");
    const std::wstring view =
        L"session[" + fromUtf8(expected) + L"]view" + std::to_wstring(++nextView_);
    liveViews.insert(view);
    return ok("CreateContainerView",
              "<returnval type=\"ContainerView\">" + utf8(view) + "</returnval>");
  }
  if (op == L"DestroyView") {
    liveViews.erase(request.values.at(L"_this"));
    return ok("DestroyView", "");
  }
  if (op == L"RetrievePropertiesEx") {
    if (request.types.at(L"obj") == L"ContainerView") {
      if (!liveViews.count(request.values.at(L"obj")))
        return fault(L"The object has already been deleted", "ManagedObjectNotFound");
      return namesPage(0);
    }
    return runtimeOf(request.values.at(L"obj"));
  }
  if (op == L"ContinueRetrievePropertiesEx") {
    auto token = tokens_.find(request.values.at(L"token"));
    if (token == tokens_.end())
      return fault(L"Invalid token", "InvalidArgument");
    const std::size_t first = token->second;
    tokens_.erase(token);
    return namesPage(first);
  }
  return fault(L"Unknown operation", "MethodFault");
}

HttpAnswer FakeVSphere::namesPage(std::size_t first) {
  const std::size_t end =
      pageSize == 0 ? machines.size() : std::min(machines.size(), first + pageSize);
  std::string objects;
  for (std::size_t i = first; i < end; ++i)
    objects += "<objects><obj type=\"VirtualMachine\">vm-" + std::to_string(i) +
               "</obj><propSet><name>name</name><val xsi:type=\"xsd:string\">" +
               utf8(machines[i].name) + "</val></propSet></objects>";
  if (end < machines.size()) {
    const std::wstring token = L"token" + std::to_wstring(end);
    tokens_[token] = end;
    objects += "<token>" + utf8(token) + "</token>";
  }
  const std::string op = first == 0 ? "RetrievePropertiesEx" : "ContinueRetrievePropertiesEx";
  return ok(op, objects.empty() ? "" : "<returnval>" + objects + "</returnval>");
}

HttpAnswer FakeVSphere::runtimeOf(const std::wstring &machineId) {
  const std::size_t index = std::stoul(machineId.substr(3));
  const FakeVm &vm = machines.at(index);
  std::string properties = "<propSet><name>runtime.connectionState</name><val "
                           "xsi:type=\"VirtualMachineConnectionState\">" +
                           utf8(vm.connectionState) + "</val></propSet>";
  if (vm.question)
    properties +=
        "<propSet><name>runtime.question</name><val xsi:type=\"VirtualMachineQuestionInfo\">"
        "<id>1</id><text>Did you move it?</text></val></propSet>";
  properties +=
      "<propSet><name>runtime.powerState</name><val xsi:type=\"VirtualMachinePowerState\">" +
      utf8(vm.powerState) + "</val></propSet>";
  return ok("RetrievePropertiesEx", "<returnval><objects><obj type=\"VirtualMachine\">" +
                                        toUtf8(machineId) + "</obj>" + properties +
                                        "</objects></returnval>");
}

} // namespace brennow::testing
