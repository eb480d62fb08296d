// The vSphere adapter's portable pieces: server addresses, timeouts, thumbprints, the
// request envelopes, and the reading of answers (faults, framing, refusals, limits).
#include <gtest/gtest.h>

#include <cwctype>
#include <functional>

#include "common/AutomationError.h"
#include "tests/native/vsphere/FakeVSphere.h"
#include "vmserver/vsphere/Answers.h"
#include "vmserver/vsphere/Endpoint.h"
#include "vmserver/vsphere/Envelopes.h"
#include "vmserver/vsphere/Utf8.h"
#include "vmserver/vsphere/native/LibXml2Reader.h"

using namespace brennow;
using namespace brennow::vmserver::vsphere;
using brennow::testing::readFakeRequest;

namespace {

std::wstring descriptionOf(const std::function<void()> &action) {
  try {
    action();
  } catch (const AutomationError &error) {
    return error.description();
  }
  return L"(no error)";
}

// ------------------------------------------------------------------ addresses

struct HostCase {
  const wchar_t *text;
  const wchar_t *url; // nullptr: refused
};

TEST(VSphereEndpoint, ReadsNamesPortsAndUrls) {
  const HostCase cases[] = {
      {L"esx01", L"https://esx01/sdk"},
      {L" vc.example.test ", L"https://vc.example.test/sdk"},
      {L"esx01:8443", L"https://esx01:8443/sdk"},
      {L"https://vc", L"https://vc/sdk"},
      {L"HTTPS://vc:443/sdk", L"https://vc/sdk"},
      {L"https://vc/", L"https://vc/sdk"},
      {L"https://vc:9443/custom/sdk", L"https://vc:9443/custom/sdk"},
      {L"http://lab", L"http://lab/sdk"},
      {L"http://lab:8080/sdk", L"http://lab:8080/sdk"},
      {L"[::1]:8443", L"https://[::1]:8443/sdk"},
      {L"https://[fe80::1]", L"https://[fe80::1]/sdk"},
      {L"10.0.0.5", L"https://10.0.0.5/sdk"},
      {L"", nullptr},
      {L"vc:0", nullptr},
      {L"vc:65536", nullptr},
      {L"vc:", nullptr},
      {L"vc:https", nullptr},
      {L"ftp://vc", nullptr},
      {L"https://", nullptr},
      {L"https://:443", nullptr},
      {L"user@vc", nullptr},
      {L"vc name", nullptr},
      {L"[::1", nullptr},
      {L"[zz]", nullptr},
      {L"https://vc/a b", nullptr},
      {L"vc\\share", nullptr},
  };
  for (const auto &c : cases) {
    if (c.url) {
      EXPECT_EQ(endpointOf(c.text).url(), c.url) << toUtf8(c.text);
    } else {
      const std::wstring description = descriptionOf([&] { endpointOf(c.text); });
      EXPECT_TRUE(description.starts_with(L"The server address (" + std::wstring(c.text) + L")"))
          << toUtf8(c.text) << ": " << toUtf8(description);
    }
  }
}

TEST(VSphereEndpoint, KeepsHostPortAndSecurityApart) {
  const Endpoint plain = endpointOf(L"http://lab:8080/x/sdk");
  EXPECT_EQ(plain, (Endpoint{false, L"lab", 8080, L"/x/sdk"}));
  EXPECT_EQ(endpointOf(L"[::1]"), (Endpoint{true, L"::1", 443, L"/sdk"}));
}

TEST(VSphereSettings, TimeoutTextGivesWholeSecondsOrSixty) {
  const std::pair<const wchar_t *, int> cases[] = {
      {L"30", 30}, {L" 5 ", 5},   {L"1", 1},    {L"", 60},    {L"0", 60},
      {L"-5", 60}, {L"1.5", 60},  {L"abc", 60}, {L"3 0", 60}, {L"99999999999", 2147483},
      {L"+7", 60}, {L"0012", 12},
  };
  for (const auto &[text, seconds] : cases)
    EXPECT_EQ(timeoutSecondsOf(text), seconds) << toUtf8(text);
}

TEST(VSphereSettings, ThumbprintsIgnoreSeparatorsAndCase) {
  const std::wstring canonical =
      L"448F628A8A65AA18560E53A80C53ACB38C51B427DF0334082349141147DC9BF6";
  std::wstring colons;
  for (std::size_t i = 0; i < canonical.size(); i += 2)
    colons += (i ? L":" : L"") + canonical.substr(i, 2);
  std::wstring lower = canonical;
  for (auto &c : lower)
    c = static_cast<wchar_t>(std::towlower(c));
  const std::pair<std::wstring, bool> cases[] = {
      {canonical, true},
      {colons, true},
      {lower, true},
      {L" " + lower.substr(0, 32) + L" \t" + lower.substr(32) + L" ", true},
      {canonical.substr(1), false},
      {canonical + L"0", false},
      {canonical.substr(1) + L"G", false},
      {canonical.substr(2) + L"-1", false},
      {L"", false},
      {L"::", false},
  };
  for (const auto &[text, valid] : cases) {
    const auto normalized = normalizedThumbprint(text);
    ASSERT_EQ(normalized.has_value(), valid) << toUtf8(text);
    if (valid) {
      EXPECT_EQ(*normalized, canonical);
    }
  }
  const std::uint8_t digest[] = {0x00, 0xAB, 0x0F, 0xF0};
  EXPECT_EQ(thumbprintText(digest, sizeof digest), L"00AB0FF0");
}

TEST(VSphereText, Utf8RoundTripsAndReplacesInvalidSequences) {
  const std::wstring text = L"m\u00e4chine \u20ac \U0001F600";
  EXPECT_EQ(fromUtf8(toUtf8(text)), text);
  EXPECT_EQ(toUtf8(L"\u00e4"), "\xC3\xA4");
  EXPECT_EQ(fromUtf8("a\xC3"), L"a\uFFFD");
  EXPECT_EQ(fromUtf8("\xC0\xAF"), L"\uFFFD");     // overlong
  EXPECT_EQ(fromUtf8("\xED\xA0\x80"), L"\uFFFD"); // surrogate
}

// ------------------------------------------------------------------ envelopes

struct EnvelopeCase {
  const char *name;
  std::string envelope;
  const wchar_t *operation;
  std::vector<std::pair<const wchar_t *, std::wstring>> values;
};

TEST(VSphereEnvelopes, CarryTheOperationAndItsArguments) {
  const MoRef pc{L"PropertyCollector", L"propertyCollector"};
  const MoRef sm{L"SessionManager", L"SessionManager"};
  const MoRef view{L"ContainerView", L"session[52]view<1>"};
  const MoRef vm{L"VirtualMachine", L"vm-42"};
  const std::wstring tricky = L"a<b>&\"c' \u00e9\u20ac\r\n\t";
  const EnvelopeCase cases[] = {
      {"service content",
       retrieveServiceContentRequest(),
       L"RetrieveServiceContent",
       {{L"_this", L"ServiceInstance"}}},
      {"login",
       loginRequest(sm, L"DOMAIN\\alice", tricky),
       L"Login",
       {{L"_this", L"SessionManager"}, {L"userName", L"DOMAIN\\alice"}, {L"password", tricky}}},
      {"view",
       createContainerViewRequest({L"ViewManager", L"ViewManager"}, {L"Folder", L"ha-folder-root"}),
       L"CreateContainerView",
       {{L"container", L"ha-folder-root"}, {L"type", L"VirtualMachine"}, {L"recursive", L"true"}}},
      {"names",
       retrieveViewNamesRequest(pc, view),
       L"RetrievePropertiesEx",
       {{L"_this", L"propertyCollector"},
        {L"obj", view.value},
        {L"pathSet", L"name"},
        {L"path", L"view"},
        {L"skip", L"true"}}},
      {"continue",
       continueRetrieveRequest(pc, L"tok&1"),
       L"ContinueRetrievePropertiesEx",
       {{L"token", L"tok&1"}}},
      {"state",
       retrieveMachineStateRequest(pc, vm),
       L"RetrievePropertiesEx",
       {{L"obj", L"vm-42"}, {L"pathSet", L"runtime.connectionState"}, {L"skip", L"false"}}},
      {"destroy", destroyViewRequest(view), L"DestroyView", {{L"_this", view.value}}},
      {"logout", logoutRequest(sm), L"Logout", {{L"_this", L"SessionManager"}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const auto request = readFakeRequest(c.envelope);
    EXPECT_EQ(request.operation, c.operation);
    for (const auto &[element, value] : c.values)
      EXPECT_EQ(request.values.count(element) ? request.values.at(element) : L"(missing)", value)
          << toUtf8(element);
  }
  EXPECT_EQ(readFakeRequest(retrieveViewNamesRequest(pc, view)).types.at(L"obj"), L"ContainerView");
}

TEST(VSphereEnvelopes, StateRequestAsksForTheThreeRuntimeProperties) {
  const std::string envelope =
      retrieveMachineStateRequest({L"PropertyCollector", L"pc"}, {L"VirtualMachine", L"vm-1"});
  for (const char *path : {"runtime.connectionState", "runtime.question", "runtime.powerState"})
    EXPECT_NE(envelope.find("<pathSet>" + std::string(path) + "</pathSet>"), std::string::npos)
        << path;
}

// ------------------------------------------------------------------ answers

std::string soap(const std::string &body) {
  return "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><soapenv:Body>" +
         body + "</soapenv:Body></soapenv:Envelope>";
}

std::string serviceContent(const std::string &root) {
  return soap("<RetrieveServiceContentResponse xmlns=\"urn:vim25\"><returnval>"
              "<rootFolder type=\"Folder\">" +
              root +
              "</rootFolder>"
              "<propertyCollector type=\"PropertyCollector\">pc</propertyCollector>"
              "<viewManager type=\"ViewManager\">vm</viewManager>"
              "<about><name>VMware ESXi</name></about>"
              "<sessionManager type=\"SessionManager\">sm</sessionManager>"
              "</returnval></RetrieveServiceContentResponse>");
}

const XmlReaderFactory reader = makeLibXml2Reader;

HttpAnswer answer(int status, std::string body, std::string type = "text/xml") {
  return {status, std::move(type), std::move(body), {}};
}

struct RefusalCase {
  const char *name;
  HttpAnswer answer;
  std::wstring description;
};

TEST(VSphereAnswers, FaultsAndForeignAnswersGiveTheirDescriptions) {
  const std::wstring notVSphere = L"The server's answer is not a vSphere Web Services answer (";
  const std::string fault =
      "<soapenv:Fault><faultcode>ServerFaultCode</faultcode><faultstring>Login failure"
      "</faultstring><detail><InvalidLoginFault xmlns=\"urn:vim25\" "
      "xsi:type=\"InvalidLogin\"/></detail></soapenv:Fault>";
  std::string deep;
  for (int i = 0; i < 100; ++i)
    deep = "<a>" + deep + "</a>";
  const RefusalCase cases[] = {
      {"fault", answer(500, soap(fault)), L"Login failure"},
      {"fault with 200", answer(200, soap(fault)), L"Login failure"},
      {"fault without text",
       answer(500, soap("<soapenv:Fault><faultcode>x</faultcode><detail><NotAuthenticatedFault/>"
                        "</detail></soapenv:Fault>")),
       L"NotAuthenticatedFault"},
      {"empty fault", answer(500, soap("<soapenv:Fault/>")),
       L"The server answered with a fault that has no text"},
      {"html page", answer(200, "<!DOCTYPE html><html><body>Hi</body></html>", "text/plain"),
       notVSphere + L"an HTML page)"},
      {"html by type", answer(200, "whatever", "text/html; charset=utf-8"),
       notVSphere + L"an HTML page)"},
      {"html error", answer(500, "\n <HTML><body>Oops</body></HTML>"),
       notVSphere + L"HTTP status 500 without a SOAP fault)"},
      {"plain error", answer(404, "not found", "text/plain"),
       notVSphere + L"HTTP status 404 without a SOAP fault)"},
      {"soap error without fault", answer(503, soap("<LogoutResponse xmlns=\"urn:vim25\"/>")),
       notVSphere + L"HTTP status 503 without a SOAP fault)"},
      {"other document", answer(200, "<a><b/></a>"), notVSphere + L"no SOAP Envelope and Body)"},
      {"envelope of another namespace",
       answer(200, "<Envelope xmlns=\"urn:x\"><Body><RetrieveServiceContentResponse/></Body>"
                   "</Envelope>"),
       notVSphere + L"no SOAP Envelope and Body)"},
      {"empty body", answer(200, soap("")), notVSphere + L"an empty SOAP Body)"},
      {"another answer", answer(200, soap("<LogoutResponse xmlns=\"urn:vim25\"/>")),
       notVSphere + L"an answer LogoutResponse to another request)"},
      {"plain text", answer(200, "hello"), notVSphere + L"not well-formed XML)"},
      {"truncated", answer(200, serviceContent("group-d1").substr(0, 120)),
       notVSphere + L"not well-formed XML)"},
      {"empty", answer(200, " \r\n"), notVSphere + L"an empty answer)"},
      {"doctype", answer(200, "<!DOCTYPE x [<!ENTITY a \"b\">]>" + serviceContent("group-d1")),
       L"The server's answer holds a document type declaration or an entity, which are refused"},
      {"undeclared entity", answer(200, soap("<x>&lol;</x>")),
       notVSphere + L"not well-formed XML)"},
      {"too deep", answer(200, soap(deep)), notVSphere + L"elements nested deeper than 64)"},
      {"long text", answer(200, soap("<x>" + std::string(70000, 'a') + "</x>")),
       notVSphere + L"a value longer than 65536 characters)"},
      {"incomplete content",
       answer(200, soap("<RetrieveServiceContentResponse xmlns=\"urn:vim25\"><returnval>"
                        "<rootFolder type=\"Folder\">f</rootFolder></returnval>"
                        "</RetrieveServiceContentResponse>")),
       notVSphere + L"a service content without the root folder, property collector, view "
                    L"manager and session manager)"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(descriptionOf([&] { readServiceContent(c.answer, reader); }), c.description)
        << c.name;
}

TEST(VSphereAnswers, ServiceContentGivesEveryReference) {
  const auto content = readServiceContent(answer(200, serviceContent("ha-folder-root")), reader);
  EXPECT_EQ(content.rootFolder, (MoRef{L"Folder", L"ha-folder-root"}));
  EXPECT_EQ(content.propertyCollector, (MoRef{L"PropertyCollector", L"pc"}));
  EXPECT_EQ(content.viewManager, (MoRef{L"ViewManager", L"vm"}));
  EXPECT_EQ(content.sessionManager, (MoRef{L"SessionManager", L"sm"}));
}

std::string namesAnswer(const std::string &operation, const std::string &content) {
  return soap("<" + operation + "Response xmlns=\"urn:vim25\">" + content + "</" + operation +
              "Response>");
}

std::string object(const std::string &id, const std::string &nameValue) {
  return "<objects><obj type=\"VirtualMachine\">" + id +
         "</obj><propSet><name>name</name>"
         "<val xsi:type=\"xsd:string\">" +
         nameValue + "</val></propSet></objects>";
}

TEST(VSphereAnswers, NamesPagesKeepOrderTextAndToken) {
  const auto first = readNamesPage(
      answer(200,
             namesAnswer("RetrievePropertiesEx",
                         "<returnval><token>t1</token>" + object("vm-1", "web&amp;01") +
                             object("vm-2", "<![CDATA[db <02>]]>") + object("vm-3", "caf\xC3\xA9") +
                             "<objects><obj type=\"VirtualMachine\">vm-4</obj></objects>" +
                             "</returnval>")),
      L"RetrievePropertiesEx", reader);
  ASSERT_EQ(first.objects.size(), 3u); // an object without a name is left out
  EXPECT_EQ(first.objects[0].name, L"web&01");
  EXPECT_EQ(first.objects[0].object, (MoRef{L"VirtualMachine", L"vm-1"}));
  EXPECT_EQ(first.objects[1].name, L"db <02>");
  EXPECT_EQ(first.objects[2].name, L"caf\u00e9");
  EXPECT_EQ(first.token, L"t1");

  const auto last =
      readNamesPage(answer(200, namesAnswer("ContinueRetrievePropertiesEx",
                                            "<returnval>" + object("vm-5", "x") + "</returnval>")),
                    L"ContinueRetrievePropertiesEx", reader);
  ASSERT_EQ(last.objects.size(), 1u);
  EXPECT_TRUE(last.token.empty());

  const auto none = readNamesPage(answer(200, namesAnswer("RetrievePropertiesEx", "")),
                                  L"RetrievePropertiesEx", reader);
  EXPECT_TRUE(none.objects.empty());
  EXPECT_TRUE(none.token.empty());
}

std::string runtimeAnswer(const std::string &properties) {
  return namesAnswer("RetrievePropertiesEx", "<returnval><objects><obj type=\"VirtualMachine\">"
                                             "vm-1</obj>" +
                                                 properties + "</objects></returnval>");
}

std::string property(const std::string &name, const std::string &value) {
  return "<propSet><name>" + name + "</name><val>" + value + "</val></propSet>";
}

struct StateCase {
  const char *name;
  std::string properties;
  std::int32_t state; // 0: refused
};

TEST(VSphereAnswers, RuntimePropertiesGiveTheExecutionState) {
  const std::string connected = property("runtime.connectionState", "connected");
  const std::string question = property("runtime.question", "<id>1</id><text>Moved?</text>");
  const StateCase cases[] = {
      {"on", connected + property("runtime.powerState", "poweredOn"), 1},
      {"off", connected + property("runtime.powerState", "poweredOff"), 2},
      {"suspended", connected + property("runtime.powerState", "suspended"), 3},
      {"question", connected + question + property("runtime.powerState", "poweredOn"), 4},
      {"disconnected",
       property("runtime.connectionState", "disconnected") + question +
           property("runtime.powerState", "poweredOn"),
       5},
      {"orphaned",
       property("runtime.connectionState", "orphaned") +
           property("runtime.powerState", "poweredOff"),
       5},
      {"inaccessible", property("runtime.connectionState", "inaccessible"), 5},
      {"no connection state", property("runtime.powerState", "suspended"), 3},
      {"no power state", connected, 0},
      {"unknown power state", connected + property("runtime.powerState", "melted"), 0},
  };
  for (const auto &c : cases) {
    const HttpAnswer a = answer(200, runtimeAnswer(c.properties));
    if (c.state) {
      EXPECT_EQ(executionStateOf(readMachineRuntime(a, reader)), c.state) << c.name;
    } else {
      EXPECT_TRUE(descriptionOf([&] {
                    executionStateOf(readMachineRuntime(a, reader));
                  }).find(L"power state") != std::wstring::npos)
          << c.name;
    }
  }
}

TEST(VSphereAnswers, SessionCookieIsTakenFromItsSetCookieLine) {
  const std::pair<std::vector<std::string>, std::optional<std::string>> cases[] = {
      {{"vmware_soap_session=\"52ab\"; Path=/; HttpOnly; Secure"}, "vmware_soap_session=\"52ab\""},
      {{"other=1", " vmware_soap_session=abc"}, "vmware_soap_session=abc"},
      {{"vmware_soap_session=; Path=/"}, std::nullopt},
      {{"xvmware_soap_session=abc"}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto &[lines, cookie] : cases)
    EXPECT_EQ(sessionCookieOf(lines), cookie) << (lines.empty() ? "" : lines[0]);
}

} // namespace
