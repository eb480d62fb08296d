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
  std::vector<std::wstring> open;
  std::wstring text;
  std::optional<std::wstring> type;
  const auto leafEnded = [&] {
    const std::wstring &element = open.back();
    request.leaves.push_back(
        {open.size() > 1 ? open[open.size() - 2] : L"", element, text, type.value_or(L"")});
    if (!request.values.count(element)) {
      request.values[element] = text;
      if (type)
        request.types[element] = *type;
    }
  };
  bool leaf = false;
  for (XmlNode node = reader->next(); node != XmlNode::EndOfDocument; node = reader->next()) {
    if (node == XmlNode::StartElement) {
      open.emplace_back(reader->localName());
      if (open.size() == 3)
        request.operation = open.back();
      type.reset();
      if (auto found = reader->attribute(L"type"))
        type.emplace(*found);
      text.clear();
      leaf = true;
      if (reader->isEmptyElement()) {
        leafEnded();
        open.pop_back();
        leaf = false;
      }
    } else if (node == XmlNode::Text) {
      text += reader->text();
    } else {
      if (leaf)
        leafEnded();
      leaf = false;
      open.pop_back();
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
  requests.push_back(request);
  if (auto failure = failures.find(request.operation); failure != failures.end()) {
    if (failure->second.transport)
      throw TransportError(*failure->second.transport, *endpoint, options->timeoutSeconds, 12002);
    if (!failure->second.html.empty())
      return {200, "text/html", failure->second.html, {}};
    return fault(failure->second.faultText, "SystemError");
  }
  HttpAnswer answer = respond(request, cookie);
  const int nth = ++answered_[request.operation];
  if (rewrite)
    rewrite(request.operation, nth, answer);
  return answer;
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
    // The session's views end with it, as on the server.
    const std::wstring session = fromUtf8(expected);
    liveSessions.erase(session);
    std::erase_if(liveViews, [&](const std::wstring &view) {
      return view.starts_with(L"session[" + session + L"]");
    });
    return ok("Logout", "");
  }
  if (op == L"CurrentTime")
    return ok("CurrentTime", "<returnval>" + utf8(currentTime) + "</returnval>");
  if (op == L"CreateContainerView") {
    if (request.values.at(L"container") != rootFolder)
      return fault(L"Unexpected container", "InvalidArgument");
    const std::wstring view =
        L"session[" + fromUtf8(expected) + L"]view" + std::to_wstring(++nextView_);
    liveViews.insert(view);
    viewTypes_[view] = request.values.at(L"type");
    return ok("CreateContainerView",
              "<returnval type=\"ContainerView\">" + utf8(view) + "</returnval>");
  }
  if (op == L"DestroyView") {
    liveViews.erase(request.values.at(L"_this"));
    return ok("DestroyView", "");
  }
  if (op == L"RetrievePropertiesEx")
    return retrieve(request);
  if (op == L"ContinueRetrievePropertiesEx") {
    auto token = tokens_.find(request.values.at(L"token"));
    if (token == tokens_.end())
      return fault(L"Invalid token", "InvalidArgument");
    Retrieval rest = std::move(token->second);
    tokens_.erase(token);
    return page(std::move(rest), "ContinueRetrievePropertiesEx");
  }
  return fault(L"Unknown operation", "MethodFault");
}

HttpAnswer FakeVSphere::retrieve(const FakeRequest &request) {
  Retrieval retrieval;
  std::wstring propSetType;
  for (const auto &leaf : request.leaves) {
    if (leaf.parent == L"propSet" && leaf.name == L"type")
      retrieval.paths[propSetType = leaf.text];
    else if (leaf.parent == L"propSet" && leaf.name == L"pathSet")
      retrieval.paths[propSetType].push_back(leaf.text);
    else if (leaf.parent == L"objectSet" && leaf.name == L"obj") {
      if (leaf.type == L"ContainerView") {
        if (!liveViews.count(leaf.text))
          return fault(L"The object has already been deleted", "ManagedObjectNotFound");
        const std::wstring &type = viewTypes_.at(leaf.text);
        const std::size_t count = type == L"VirtualMachine" ? machines.size()
                                  : type == L"Datastore"    ? datastores.size()
                                  : type == L"HostSystem"   ? hosts.size()
                                                            : 0;
        for (std::size_t i = 0; i < count; ++i)
          retrieval.objects.push_back({type, i});
      } else if (auto object = objectOf(leaf.type, leaf.text)) {
        retrieval.objects.push_back(*object);
      }
    }
  }
  return page(std::move(retrieval), "RetrievePropertiesEx");
}

HttpAnswer FakeVSphere::page(Retrieval retrieval, const std::string &operation) {
  const std::size_t first = retrieval.next;
  const std::size_t total = retrieval.objects.size();
  const std::size_t end = pageSize == 0 ? total : std::min(total, first + pageSize);
  std::string objects;
  for (std::size_t i = first; i < end; ++i) {
    const Object &object = retrieval.objects[i];
    const auto paths = retrieval.paths.find(object.type);
    objects += objectXml(object, paths == retrieval.paths.end() ? std::vector<std::wstring>()
                                                                : paths->second);
  }
  if (end < total) {
    const std::wstring token = L"token" + std::to_wstring(tokens_.size() + end);
    retrieval.next = end;
    tokens_[token] = std::move(retrieval);
    objects += "<token>" + utf8(token) + "</token>";
  }
  return ok(operation, objects.empty() ? "" : "<returnval>" + objects + "</returnval>");
}

namespace {

std::wstring idPrefixOf(const std::wstring &type) {
  if (type == L"VirtualMachine")
    return L"vm-";
  if (type == L"Datastore")
    return L"datastore-";
  if (type == L"HostSystem")
    return L"host-";
  if (type == L"Alarm")
    return L"alarm-";
  return L"";
}

std::string val(const std::string &type, const std::string &content) {
  return "<val xsi:type=\"" + type + "\">" + content + "</val>";
}

std::string snapshotList(const std::vector<FakeSnapshot> &snapshots, const std::string &element,
                         int &next) {
  std::string xml;
  for (const FakeSnapshot &snapshot : snapshots)
    xml += "<" + element + "><snapshot type=\"VirtualMachineSnapshot\">snapshot-" +
           std::to_string(++next) + "</snapshot><name>" + utf8(snapshot.name) +
           "</name><createTime>" + utf8(snapshot.createTime) + "</createTime>" +
           snapshotList(snapshot.children, "childSnapshotList", next) + "</" + element + ">";
  return xml;
}

} // namespace

std::optional<FakeVSphere::Object> FakeVSphere::objectOf(const std::wstring &type,
                                                         const std::wstring &id) const {
  if (type == L"Folder" && id == rootFolder)
    return Object{L"Folder", 0};
  const std::wstring prefix = idPrefixOf(type);
  if (prefix.empty() || !id.starts_with(prefix) || id.size() == prefix.size())
    return std::nullopt;
  return Object{type, std::stoul(id.substr(prefix.size()))};
}

std::string FakeVSphere::objectXml(const Object &object,
                                   const std::vector<std::wstring> &paths) const {
  const std::string id = object.type == L"Folder"
                             ? utf8(rootFolder)
                             : toUtf8(idPrefixOf(object.type)) + std::to_string(object.index);
  std::string xml = "<objects><obj type=\"" + toUtf8(object.type) + "\">" + id + "</obj>";
  for (const std::wstring &path : paths)
    if (auto value = property(object, path))
      xml += "<propSet><name>" + toUtf8(path) + "</name>" + *value + "</propSet>";
  return xml + "</objects>";
}

std::optional<std::string> FakeVSphere::property(const Object &object,
                                                 const std::wstring &path) const {
  if (object.type == L"VirtualMachine") {
    const FakeVm &vm = machines.at(object.index);
    if (path == L"name")
      return val("xsd:string", utf8(vm.name));
    if (path == L"runtime.connectionState")
      return val("VirtualMachineConnectionState", utf8(vm.connectionState));
    if (path == L"runtime.question" && vm.question)
      return val("VirtualMachineQuestionInfo", "<id>1</id><text>Did you move it?</text>");
    if (path == L"runtime.powerState")
      return val("VirtualMachinePowerState", utf8(vm.powerState));
    if (path == L"guest.toolsRunningStatus")
      return val("xsd:string", utf8(vm.toolsRunningStatus));
    if (path == L"guestHeartbeatStatus")
      return val("ManagedEntityStatus", utf8(vm.heartbeat));
    if (path == L"snapshot.rootSnapshotList" && !vm.snapshots.empty()) {
      int next = static_cast<int>(object.index) * 100;
      return val("ArrayOfVirtualMachineSnapshotTree",
                 snapshotList(vm.snapshots, "VirtualMachineSnapshotTree", next));
    }
  } else if (object.type == L"Datastore") {
    const FakeDatastore &ds = datastores.at(object.index);
    if (path == L"name")
      return val("xsd:string", utf8(ds.name));
    if (path == L"summary.accessible")
      return val("xsd:boolean", ds.accessible ? "true" : "false");
    if (path == L"summary.capacity")
      return val("xsd:long", std::to_string(ds.capacity));
    if (path == L"summary.freeSpace")
      return val("xsd:long", std::to_string(ds.freeSpace));
  } else if (object.type == L"HostSystem") {
    const FakeHost &host = hosts.at(object.index);
    if (path == L"name")
      return val("xsd:string", utf8(host.name));
    if (path == L"runtime.connectionState")
      return val("HostSystemConnectionState", utf8(host.connectionState));
    if (path == L"runtime.inMaintenanceMode")
      return val("xsd:boolean", host.maintenance ? "true" : "false");
    if (path == L"overallStatus")
      return val("ManagedEntityStatus", utf8(host.overallStatus));
  } else if (object.type == L"Alarm") {
    if (path == L"info.name")
      return val("xsd:string", utf8(alarms.at(object.index).name));
  } else if (object.type == L"Folder") {
    if (path == L"triggeredAlarmState" && !alarms.empty()) {
      std::string states;
      for (std::size_t i = 0; i < alarms.size(); ++i) {
        const FakeAlarm &alarm = alarms[i];
        const std::string entity =
            toUtf8(idPrefixOf(alarm.entityType)) + std::to_string(alarm.entity);
        states += "<AlarmState><key>alarm-" + std::to_string(i) + "." + entity +
                  "</key><entity type=\"" + toUtf8(alarm.entityType) + "\">" + entity +
                  "</entity><alarm type=\"Alarm\">alarm-" + std::to_string(i) +
                  "</alarm><overallStatus>" + utf8(alarm.status) +
                  "</overallStatus><time>2026-12-01T00:00:00Z</time>"
                  "<acknowledged>false</acknowledged></AlarmState>";
      }
      return val("ArrayOfAlarmState", states);
    }
  }
  return std::nullopt;
}

} // namespace brennow::testing
