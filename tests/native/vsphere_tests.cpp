// The vSphere adapter's portable pieces: server addresses, timeouts, thumbprints, the
// request envelopes, and the reading of answers (faults, framing, refusals, limits).
#include <gtest/gtest.h>

#include <cwctype>
#include <functional>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/AutomationError.h"
#include "tests/native/vsphere/FakeVSphere.h"
#include "vmserver/vsphere/Answers.h"
#include "vmserver/vsphere/Endpoint.h"
#include "vmserver/vsphere/Envelopes.h"
#include "vmserver/vsphere/Machines.h"
#include "common/utf8.h"
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
  // Only what decodes without a replacement is well-formed; a written-out U+FFFD is.
  for (const auto &[bytes, wellFormed] :
       std::initializer_list<std::pair<std::string, bool>>{{"", true},
                                                           {toUtf8(text), true},
                                                           {"\xEF\xBF\xBD", true},
                                                           {"a\xC3", false},
                                                           {"\xC0\xAF", false},
                                                           {"\xED\xA0\x80", false},
                                                           {"\xF4\x90\x80\x80", false}})
    EXPECT_EQ(isUtf8(bytes), wellFormed) << ::testing::PrintToString(bytes);
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
  const std::wstring tricky = L"a<b>&\"c' \u00e9\u20ac\r\n\t\U0001F600";
  const PropertySet names{type::VirtualMachine, {path::Name}};
  const PropertySet datastores{type::Datastore, {path::Accessible, path::FreeSpace}};
  const EnvelopeCase cases[] = {
      {"service content",
       retrieveServiceContentRequest(),
       L"RetrieveServiceContent",
       {{L"_this", L"ServiceInstance"}}},
      {"current time", currentTimeRequest(), L"CurrentTime", {{L"_this", L"ServiceInstance"}}},
      {"login",
       loginRequest(sm, L"DOMAIN\\alice", tricky),
       L"Login",
       {{L"_this", L"SessionManager"}, {L"userName", L"DOMAIN\\alice"}, {L"password", tricky}}},
      {"view",
       createContainerViewRequest({L"ViewManager", L"ViewManager"}, {L"Folder", L"ha-folder-root"},
                                  type::Datastore),
       L"CreateContainerView",
       {{L"container", L"ha-folder-root"}, {L"type", L"Datastore"}, {L"recursive", L"true"}}},
      {"through a view",
       retrieveViewRequest(pc, view, names),
       L"RetrievePropertiesEx",
       {{L"_this", L"propertyCollector"},
        {L"obj", view.value},
        {L"type", L"VirtualMachine"},
        {L"pathSet", L"name"},
        {L"path", L"view"},
        {L"skip", L"true"}}},
      {"of objects",
       retrieveObjectsRequest(pc, {&vm, 1}, {&datastores, 1}),
       L"RetrievePropertiesEx",
       {{L"obj", L"vm-42"},
        {L"type", L"Datastore"},
        {L"pathSet", L"summary.accessible"},
        {L"skip", L"false"}}},
      {"continue",
       continueRetrieveRequest(pc, L"tok&1"),
       L"ContinueRetrievePropertiesEx",
       {{L"token", L"tok&1"}}},
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
  EXPECT_EQ(readFakeRequest(retrieveViewRequest(pc, view, names)).types.at(L"obj"),
            L"ContainerView");
}

TEST(VSphereEnvelopes, EveryPathOfEveryTypeIsAskedFor) {
  const MoRef objects[] = {{L"Alarm", L"alarm-1"}, {L"HostSystem", L"host-9"}};
  const PropertySet sets[] = {{type::Alarm, {path::AlarmName}},
                              {type::HostSystem, {path::Name, path::OverallStatus}}};
  const std::string envelope = retrieveObjectsRequest({L"PropertyCollector", L"pc"}, objects, sets);
  for (const char *part :
       {"<propSet><type>Alarm</type><pathSet>info.name</pathSet></propSet>",
        "<propSet><type>HostSystem</type><pathSet>name</pathSet><pathSet>overallStatus</pathSet>",
        "<obj type=\"Alarm\">alarm-1</obj>", "<obj type=\"HostSystem\">host-9</obj>"})
    EXPECT_NE(envelope.find(part), std::string::npos) << part;
}

// What XML 1.0 cannot carry is refused before anything is built, never changed on the way.
TEST(VSphereEnvelopes, TextsXmlCannotCarryAreRefused) {
  const bool utf16 = sizeof(wchar_t) == 2;
  const std::pair<std::wstring, bool> cases[] = {
      {L"plain", true},
      {L"tab\tline\nreturn\r", true},
      {L"\u00e9\u20ac\uD7FF\uE000\uFFFD", true},
      {L"\U0001F600 \U0010FFFF", true},
      {std::wstring(1, L'\x01'), false},
      {L"bell\x07", false},
      {L"\x0B", false},
      {L"\x1F", false},
      {L"\uFFFE", false},
      {L"\uFFFF", false},
      {utf16 ? std::wstring(1, static_cast<wchar_t>(0xD800)) : std::wstring(1, L'\x02'), false},
      {utf16 ? std::wstring(1, static_cast<wchar_t>(0xDC00)) + L"x" : std::wstring(1, L'\x03'),
       false},
  };
  for (const auto &[text, sendable] : cases) {
    const std::wstring description = descriptionOf([&] { requireSendable(text, L"The password"); });
    if (sendable) {
      EXPECT_EQ(description, L"(no error)") << toUtf8(text);
    } else {
      EXPECT_TRUE(description.starts_with(L"The password holds a character that cannot be sent"))
          << toUtf8(description);
      EXPECT_EQ(description.find(text), std::wstring::npos) << "the password is not repeated";
    }
  }
  // Line ends reach the server as they were typed.
  EXPECT_NE(loginRequest({L"SessionManager", L"sm"}, L"u", L"a\r\nb").find("a&#13;&#10;b"),
            std::string::npos);
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

struct Page {
  std::vector<ObjectContent> objects;
  std::wstring token;
  std::size_t charged = 0;
};

Page readPage(const HttpAnswer &a, Operation operation = op::RetrievePropertiesEx,
              std::size_t budget = kMaxKeptCharacters, const ValueShape &shape = {}) {
  Page page;
  CharacterBudget left{budget};
  page.token = readRetrievedPage(
                   a, operation, reader, left,
                   [&](ObjectContent &o) { page.objects.push_back(std::move(o)); }, shape)
                   .token;
  page.charged = budget - left.left;
  return page;
}

std::wstring nameOf(const ObjectContent &o) {
  const Value *name = o.property(path::Name);
  return name ? name->text : L"(none)";
}

TEST(VSphereAnswers, RetrievedPagesKeepOrderTextAndToken) {
  const Page first = readPage(answer(
      200, namesAnswer("RetrievePropertiesEx",
                       "<returnval><token>t1</token>" + object("vm-1", "web&amp;01") +
                           object("vm-2", "<![CDATA[db <02>]]>") + object("vm-3", "caf\xC3\xA9") +
                           "<objects><obj type=\"VirtualMachine\">vm-4</obj></objects>" +
                           "</returnval>")));
  ASSERT_EQ(first.objects.size(), 4u);
  EXPECT_EQ(nameOf(first.objects[0]), L"web&01");
  EXPECT_EQ(first.objects[0].object, (MoRef{L"VirtualMachine", L"vm-1"}));
  EXPECT_EQ(first.objects[0].property(path::Name)->schemaType, L"string");
  EXPECT_EQ(nameOf(first.objects[1]), L"db <02>");
  EXPECT_EQ(nameOf(first.objects[2]), L"caf\u00e9");
  EXPECT_EQ(nameOf(first.objects[3]), L"(none)");
  EXPECT_EQ(first.token, L"t1");

  const Page last =
      readPage(answer(200, namesAnswer("ContinueRetrievePropertiesEx",
                                       "<returnval>" + object("vm-5", "x") + "</returnval>")),
               op::ContinueRetrievePropertiesEx);
  ASSERT_EQ(last.objects.size(), 1u);
  EXPECT_TRUE(last.token.empty());

  const Page none = readPage(answer(200, namesAnswer("RetrievePropertiesEx", "")));
  EXPECT_TRUE(none.objects.empty());
  EXPECT_TRUE(none.token.empty());
}

// Data objects, arrays of them nested in each other, references and typed scalars, as the
// snapshot, datastore and alarm properties come.
const HttpAnswer kNestedAnswer = answer(
    200, namesAnswer(
             "RetrievePropertiesEx",
             "<returnval><objects><obj type=\"VirtualMachine\">vm-7</obj>"
             "<propSet><name>snapshot.rootSnapshotList</name>"
             "<val xsi:type=\"ArrayOfVirtualMachineSnapshotTree\">"
             "<VirtualMachineSnapshotTree><snapshot type=\"VirtualMachineSnapshot\">snap-1"
             "</snapshot><name>base</name><createTime>2026-11-01T08:00:00.5Z</createTime>"
             "<childSnapshotList><snapshot type=\"VirtualMachineSnapshot\">snap-2</snapshot>"
             "<name>before-patch</name><createTime>2026-11-20T10:30:00+02:00</createTime>"
             "</childSnapshotList></VirtualMachineSnapshotTree></val></propSet>"
             "<propSet><name>summary.capacity</name><val xsi:type=\"xsd:long\">107374182400</val>"
             "</propSet><propSet><name>summary.accessible</name>"
             "<val xsi:type=\"xsd:boolean\">true</val></propSet>"
             "<propSet><name>parent</name><val xsi:type=\"ManagedObjectReference\" "
             "type=\"Folder\">group-v3</val></propSet>"
             "<missingSet><path>guest</path><fault><fault xsi:type=\"NoPermission\"/></fault>"
             "</missingSet></objects></returnval>"));

TEST(VSphereAnswers, NestedValuesReferencesAndTypedScalars) {
  const Page page = readPage(kNestedAnswer);
  ASSERT_EQ(page.objects.size(), 1u);
  const ObjectContent &vm = page.objects[0];
  const Value *tree = vm.property(path::Snapshots);
  ASSERT_TRUE(tree);
  EXPECT_EQ(tree->schemaType, L"ArrayOfVirtualMachineSnapshotTree");
  ASSERT_EQ(tree->fields.size(), 1u);
  const Value &root = tree->fields[0].value;
  EXPECT_EQ(tree->fields[0].name, L"VirtualMachineSnapshotTree");
  EXPECT_EQ(root.field(L"snapshot")->reference(), (MoRef{L"VirtualMachineSnapshot", L"snap-1"}));
  EXPECT_EQ(root.field(L"name")->text, L"base");
  EXPECT_EQ(dateTimeOf(root.field(L"createTime")->text), 1'793'520'000);
  const Value *child = root.field(L"childSnapshotList");
  ASSERT_TRUE(child);
  EXPECT_EQ(child->field(L"name")->text, L"before-patch");
  EXPECT_EQ(dateTimeOf(child->field(L"createTime")->text), 1'795'163'400);
  EXPECT_EQ(longOf(vm.property(path::Capacity)), 107'374'182'400);
  EXPECT_EQ(booleanOf(vm.property(path::Accessible)), true);
  EXPECT_EQ(vm.property(L"parent")->reference(), (MoRef{L"Folder", L"group-v3"}));
  EXPECT_EQ(vm.property(L"parent")->schemaType, L"ManagedObjectReference");
  EXPECT_EQ(vm.property(L"guest"), nullptr);
}

// Skipped fields are left out at every depth and cost nothing of the budget; everything else
// (properties of those names included) is read as before.
TEST(VSphereAnswers, SkippedFieldsAreReadPast) {
  const std::wstring_view skipped[] = {L"snapshot", L"createTime", L"summary.capacity"};
  const Page whole = readPage(kNestedAnswer);
  const Page page =
      readPage(kNestedAnswer, op::RetrievePropertiesEx, kMaxKeptCharacters, {false, skipped});
  ASSERT_EQ(page.objects.size(), 1u);
  const ObjectContent &vm = page.objects[0];
  const Value *tree = vm.property(path::Snapshots);
  ASSERT_TRUE(tree);
  ASSERT_EQ(tree->fields.size(), 1u);
  const Value &root = tree->fields[0].value;
  ASSERT_EQ(root.fields.size(), 2u);
  EXPECT_EQ(root.fields[0].name, L"name");
  EXPECT_EQ(root.fields[0].value.text, L"base");
  const Value *child = root.field(L"childSnapshotList");
  ASSERT_TRUE(child);
  ASSERT_EQ(child->fields.size(), 1u);
  EXPECT_EQ(child->field(L"name")->text, L"before-patch");
  EXPECT_EQ(longOf(vm.property(path::Capacity)), 107'374'182'400);
  EXPECT_EQ(vm.property(L"parent")->reference(), (MoRef{L"Folder", L"group-v3"}));
  EXPECT_LT(page.charged, whole.charged);
}

// An indented answer: the blanks between elements are no text of any value and count toward
// no limit; references and tokens lose the blanks around them.
TEST(VSphereAnswers, IndentedAnswersAreReadAsTheirValues) {
  const std::string indent(5, ' ');
  std::string objects;
  for (int i = 0; i < 14'000; ++i)
    objects += "\n" + indent + "<objects>\n" + indent + indent +
               "<obj type=\" VirtualMachine\">\n" + indent + "vm-" + std::to_string(i) + "\r\n" +
               indent + "</obj>\n" + indent + "<propSet>\n<name>name</name>\n<val>m" +
               std::to_string(i) + "</val>\n</propSet>\n" + indent + "</objects>";
  const Page page = readPage(answer(
      200, namesAnswer("RetrievePropertiesEx",
                       "<returnval>" + objects + "\n<token>\n  t2\n</token>\n</returnval>")));
  ASSERT_EQ(page.objects.size(), 14'000u);
  EXPECT_EQ(page.objects[13'999].object, (MoRef{L"VirtualMachine", L"vm-13999"}));
  EXPECT_EQ(nameOf(page.objects[13'999]), L"m13999");
  EXPECT_EQ(page.token, L"t2");
  // Blanks inside a value's own text stay.
  const Page spaced =
      readPage(answer(200, namesAnswer("RetrievePropertiesEx",
                                       "<returnval>" + object("vm-1", " a b ") + "</returnval>")));
  EXPECT_EQ(nameOf(spaced.objects.at(0)), L" a b ");
}

TEST(VSphereAnswers, WhatAnAnswerKeepsIsBounded) {
  const std::wstring notVSphere = L"The server's answer is not a vSphere Web Services answer (";
  const auto page = [](const std::string &objects) {
    return answer(200,
                  namesAnswer("RetrievePropertiesEx", "<returnval>" + objects + "</returnval>"));
  };
  const std::string longType(4'000'000, 'T');
  const std::pair<HttpAnswer, std::wstring> cases[] = {
      {page("<objects><obj type=\"" + longType + "\">vm-1</obj></objects>"),
       notVSphere + L"a type attribute longer than 1024 characters)"},
      {page("<objects><obj type=\"VirtualMachine\">vm-1</obj><propSet><name>x</name>"
            "<val xsi:type=\"" +
            longType + "\">1</val></propSet></objects>"),
       notVSphere + L"a type attribute longer than 1024 characters)"},
      {page("<" + std::string(2000, 'e') + "/>"),
       notVSphere + L"an element name longer than 1024 characters)"},
      {page(object("vm-1", std::string(70'000, 'n'))),
       notVSphere + L"a value longer than 65536 characters)"},
  };
  for (const auto &[a, description] : cases)
    EXPECT_EQ(descriptionOf([&] { readPage(a); }), description);

  // Every kept element counts against the check's budget: its strings and a little more.
  const Page counted = readPage(page(object("vm-1", "web01")));
  EXPECT_GE(counted.charged, std::string("obj"
                                         "vm-1"
                                         "VirtualMachine"
                                         "name"
                                         "val"
                                         "web01")
                                 .size());
  std::string many;
  for (int i = 0; i < 200; ++i)
    many += object("vm-" + std::to_string(i), std::string(1000, 'n'));
  EXPECT_THROW(readPage(page(many), op::RetrievePropertiesEx, 100'000), TooMuchToKeep);
  EXPECT_NO_THROW(readPage(page(many), op::RetrievePropertiesEx, 400'000));
}

TEST(VSphereAnswers, DateTimesInEveryFormTheServerWrites) {
  const std::pair<const wchar_t *, std::optional<std::int64_t>> cases[] = {
      {L"1970-01-01T00:00:00Z", 0},
      {L"2026-12-09T02:12:47Z", 1'796'782'367},
      {L"2026-12-09T02:12:47.123456Z", 1'796'782'367},
      {L" 2026-12-09T03:12:47+01:00 ", 1'796'782'367},
      {L"2026-12-08T21:12:47-05:00", 1'796'782'367},
      {L"2026-12-09T02:12:47", 1'796'782'367},
      {L"2000-02-29T00:00:00Z", 951'782'400},
      {L"1969-12-31T23:59:59Z", -1},
      {L"2026-13-01T00:00:00Z", std::nullopt},
      {L"2026-12-09 02:12:47Z", std::nullopt},
      {L"2026-12-09T02:12Z", std::nullopt},
      {L"2026-12-09T02:12:47+0100", std::nullopt},
      {L"2026-12-09T02:12:47Zjunk", std::nullopt},
      {L"", std::nullopt},
  };
  for (const auto &[text, seconds] : cases)
    EXPECT_EQ(dateTimeOf(text), seconds) << toUtf8(text);
}

TEST(VSphereAnswers, ScalarsOfOtherFormsAreRefused) {
  const auto value = [](std::wstring text) { return Value{L"", L"", std::move(text), {}}; };
  for (const wchar_t *text : {L"", L"12a", L"1.5", L"--1", L"99999999999999999999"}) {
    const Value v = value(text);
    EXPECT_EQ(longOf(&v), std::nullopt) << toUtf8(text);
  }
  const Value negative = value(L" -42 ");
  EXPECT_EQ(longOf(&negative), -42);
  const Value yes = value(L"true"), no = value(L"0"), maybe = value(L"yes");
  EXPECT_EQ(booleanOf(&yes), true);
  EXPECT_EQ(booleanOf(&no), false);
  EXPECT_EQ(booleanOf(&maybe), std::nullopt);
  EXPECT_EQ(longOf(nullptr), std::nullopt);
}

// vSphere escapes these three in entity names; nothing else is touched.
TEST(VSphereAnswers, EntityNamesAreUnescaped) {
  const std::pair<const wchar_t *, const wchar_t *> cases[] = {
      {L"web%2f01", L"web/01"}, {L"web%2F01", L"web/01"}, {L"a%5cb", L"a\\b"},
      {L"a%5Cb", L"a\\b"},      {L"100%25", L"100%"},     {L"%252f", L"%2f"},
      {L"%20x", L"%20x"},       {L"50%", L"50%"},         {L"%2", L"%2"},
      {L"plain", L"plain"},     {L"%2f%5c%25", L"/\\%"},
  };
  for (const auto &[escaped, plain] : cases) {
    EXPECT_EQ(unescapedName(escaped), plain) << toUtf8(escaped);
    std::wstring kept = L"before ";
    appendUnescapedName(escaped, kept);
    EXPECT_EQ(kept, L"before " + std::wstring(plain)) << toUtf8(escaped);
  }
}

// A listing keeps every object's name unescaped and its reference whole, in order; a name
// is found as typed, the first of several alike.
TEST(VSphereAnswers, NamedObjectsKeepOrderReferencesAndFirstOfANameWins) {
  NamedObjects listed;
  const std::pair<MoRef, const wchar_t *> added[] = {
      {{L"VirtualMachine", L"vm-1"}, L"web%2f01"},
      {{L"VirtualMachine", L"vm-22"}, L""},
      {{L"Datastore", L"datastore-3"}, L"twin"},
      {{L"VirtualMachine", L"vm-4"}, L"twin"},
      {{L"VirtualMachine", L"vm-55555"}, L"a long name that no short string holds: 100%25"},
  };
  for (const auto &[object, name] : added)
    listed.add(object, name);
  ASSERT_EQ(listed.size(), std::size(added));
  const wchar_t *names[] = {L"web/01", L"", L"twin", L"twin",
                            L"a long name that no short string holds: 100%"};
  for (std::size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(listed.name(i), names[i]);
    EXPECT_EQ(listed.object(i), added[i].first);
  }
  const std::pair<const wchar_t *, std::optional<MoRef>> finds[] = {
      {L"web/01", MoRef{L"VirtualMachine", L"vm-1"}},
      {L"twin", MoRef{L"Datastore", L"datastore-3"}},
      {L"", MoRef{L"VirtualMachine", L"vm-22"}},
      {L"web%2f01", std::nullopt},
      {L"Web/01", std::nullopt},
      {L"twin ", std::nullopt},
  };
  for (const auto &[name, found] : finds)
    EXPECT_EQ(listed.find(name), found) << toUtf8(name);
  EXPECT_THROW(listed.name(listed.size()), std::out_of_range);
  EXPECT_EQ(NamedObjects{}.find(L""), std::nullopt);
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
    const Page page = readPage(answer(200, runtimeAnswer(c.properties)));
    ASSERT_EQ(page.objects.size(), 1u);
    const MachineRuntime runtime = runtimeOf(page.objects[0]);
    if (c.state) {
      EXPECT_EQ(executionStateOf(runtime), c.state) << c.name;
    } else {
      EXPECT_TRUE(descriptionOf([&] { executionStateOf(runtime); }).find(L"power state") !=
                  std::wstring::npos)
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
