// The vSphere adapter's answer reading over XmlLite: the values the adapter picks out,
// and the refusals (document types, depth, plain text, broken documents) that XmlLite
// must give here as they are described to the operator.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "common/AutomationError.h"
#include "vmserver/vsphere/Answers.h"
#include "vmserver/vsphere/Machines.h"
#include "vmserver/vsphere/win/PoolMalloc.h"
#include "vmserver/vsphere/win/XmlLiteReader.h"

using namespace brennow;
using namespace brennow::vmserver::vsphere;

namespace {

const XmlReaderFactory reader = xmlLiteReaders();

std::string soap(const std::string &body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:XMLSchema-instance=\"http://www.w3.org/2001/XMLSchema-instance\">"
         "<soapenv:Body>" +
         body + "</soapenv:Body></soapenv:Envelope>";
}

HttpAnswer answer(int status, std::string body) {
  return {status, "text/xml", std::move(body), {}};
}

// Every object of one retrieval answer, in order.
std::vector<ObjectContent> objectsOf(const HttpAnswer &a, std::wstring *token = nullptr) {
  std::vector<ObjectContent> objects;
  CharacterBudget budget{kMaxTextLength * 1024};
  const RetrievedPage page =
      readRetrievedPage(a, op::RetrievePropertiesEx, reader, budget,
                        [&](ObjectContent &object) { objects.push_back(std::move(object)); });
  if (token)
    *token = page.token;
  return objects;
}

std::wstring nameOf(const ObjectContent &object) {
  const Value *name = object.property(path::Name);
  return name ? name->text : L"(none)";
}

std::wstring descriptionOf(const std::function<void()> &action) {
  try {
    action();
  } catch (const AutomationError &error) {
    return error.description();
  }
  return L"(no error)";
}

TEST(VSphereXmlLite, ServiceContentReferences) {
  const auto content = readServiceContent(
      answer(200, soap("<RetrieveServiceContentResponse xmlns=\"urn:vim25\"><returnval>"
                       "<rootFolder type=\"Folder\">ha-folder-root</rootFolder>"
                       "<propertyCollector type=\"PropertyCollector\">ha-property-collector"
                       "</propertyCollector><viewManager type=\"ViewManager\">ViewManager"
                       "</viewManager><sessionManager type=\"SessionManager\">ha-sessionmgr"
                       "</sessionManager></returnval></RetrieveServiceContentResponse>")),
      reader);
  EXPECT_EQ(content.rootFolder, (MoRef{L"Folder", L"ha-folder-root"}));
  EXPECT_EQ(content.propertyCollector, (MoRef{L"PropertyCollector", L"ha-property-collector"}));
  EXPECT_EQ(content.sessionManager, (MoRef{L"SessionManager", L"ha-sessionmgr"}));
}

TEST(VSphereXmlLite, NamesWithEntitiesCdataAndUtf8) {
  std::wstring token;
  const auto objects = objectsOf(
      answer(200, soap("<RetrievePropertiesExResponse xmlns=\"urn:vim25\"><returnval>"
                       "<token>2</token><objects><obj XMLSchema-instance:type=\"MoRef\" "
                       "type=\"VirtualMachine\">vm-1</obj>"
                       "<propSet><name>name</name><val XMLSchema-instance:type=\"xsd:string\">"
                       "web&amp;01</val></propSet></objects><objects><obj type=\"VirtualMachine\" "
                       "XMLSchema-instance:type=\"MoRef\">vm-2</obj><propSet><name>name</"
                       "name><val><![CDATA[db <02>]]></val>"
                       "</propSet></objects><objects><obj type=\"VirtualMachine\">vm-3</obj>"
                       "<propSet><name>name</name><val>caf\xC3\xA9 \xF0\x9F\x98\x80</val></propSet>"
                       "</objects></returnval></RetrievePropertiesExResponse>")),
      &token);
  ASSERT_EQ(objects.size(), 3u);
  EXPECT_EQ(nameOf(objects[0]), L"web&01");
  EXPECT_EQ(objects[0].object, (MoRef{L"VirtualMachine", L"vm-1"}));
  // The schema instance type under the prefix the answer declared for it.
  EXPECT_EQ(objects[0].property(path::Name)->schemaType, L"string");
  EXPECT_EQ(nameOf(objects[1]), L"db <02>");
  // The type attribute without a prefix, whatever prefixed one stands before or after it.
  EXPECT_EQ(objects[1].object, (MoRef{L"VirtualMachine", L"vm-2"}));
  EXPECT_EQ(nameOf(objects[2]), L"caf\u00e9 \U0001F600");
  EXPECT_EQ(token, L"2");
}

// A nested value as XmlLite reports it, indented, with references among its fields.
TEST(VSphereXmlLite, NestedValuesOfAnIndentedAnswer) {
  const auto objects = objectsOf(answer(
      200, soap("<RetrievePropertiesExResponse xmlns=\"urn:vim25\">\n <returnval>\n  <objects>\n"
                "   <obj type=\"Folder\">\n    group-d1\n   </obj>\n   <propSet>\n"
                "    <name>triggeredAlarmState</name>\n"
                "    <val XMLSchema-instance:type=\"ArrayOfAlarmState\">\n"
                "     <AlarmState>\n      <key>alarm-7.host-9</key>\n"
                "      <entity type=\"HostSystem\">host-9</entity>\n"
                "      <alarm type=\"Alarm\">alarm-7</alarm>\n"
                "      <overallStatus>red</overallStatus>\n     </AlarmState>\n"
                "    </val>\n   </propSet>\n  </objects>\n </returnval>\n"
                "</RetrievePropertiesExResponse>")));
  ASSERT_EQ(objects.size(), 1u);
  EXPECT_EQ(objects[0].object, (MoRef{L"Folder", L"group-d1"}));
  const Value *alarms = objects[0].property(path::TriggeredAlarmState);
  ASSERT_TRUE(alarms);
  EXPECT_EQ(alarms->schemaType, L"ArrayOfAlarmState");
  ASSERT_EQ(alarms->fields.size(), 1u);
  const Value &state = alarms->fields[0].value;
  EXPECT_EQ(state.field(L"entity")->reference(), (MoRef{L"HostSystem", L"host-9"}));
  EXPECT_EQ(state.field(L"alarm")->reference(), (MoRef{L"Alarm", L"alarm-7"}));
  EXPECT_EQ(state.field(L"overallStatus")->text, L"red");
}

// Names of every length through a long answer: XmlLite's memory is handed out and given back
// for every node, so a block returned with the wrong size, or reused while held, garbles a
// later name or the reference beside it.
TEST(VSphereXmlLite, LongAnswerKeepsEveryName) {
  constexpr int kMachines = 5000;
  const auto machineName = [](int i) {
    return "m" + std::to_string(i) + std::string(i % 300, 'x');
  };
  std::string objects;
  for (int i = 0; i < kMachines; ++i)
    objects += "<objects><obj type=\"VirtualMachine\">vm-" + std::to_string(i) +
               "</obj><propSet><name>name</name><val>" + machineName(i) +
               "</val></propSet></objects>";
  const HttpAnswer longAnswer =
      answer(200, soap("<RetrievePropertiesExResponse xmlns=\"urn:vim25\">"
                       "<returnval>" +
                       objects + "</returnval></RetrievePropertiesExResponse>"));
  for (int pass = 0; pass < 2; ++pass) {
    const auto objects = objectsOf(longAnswer);
    ASSERT_EQ(objects.size(), static_cast<std::size_t>(kMachines));
    for (int i = 0; i < kMachines; ++i) {
      const ObjectContent &machine = objects[static_cast<std::size_t>(i)];
      const std::string name = machineName(i);
      ASSERT_EQ(nameOf(machine), std::wstring(name.begin(), name.end())) << i;
      ASSERT_EQ(machine.object, (MoRef{L"VirtualMachine", L"vm-" + std::to_wstring(i)})) << i;
    }
  }
}

// The allocator contract XmlLite relies on: Realloc keeps the contents up to the smaller size,
// leaves the block alone when it cannot grow it, frees on size 0; sizes it cannot hold are
// refused with a null pointer, never an exception.
TEST(VSphereXmlLite, PoolMallocKeepsTheAllocatorContract) {
  PoolMalloc malloc;
  const struct {
    SIZE_T from, to;
  } resizes[] = {{1, 100}, {100, 1}, {16, 16}, {8000, 70000}, {70000, 8000}, {0, 33}};
  for (const auto &[from, to] : resizes) {
    auto *block = static_cast<unsigned char *>(malloc.Alloc(from));
    ASSERT_NE(block, nullptr) << from;
    EXPECT_EQ(malloc.GetSize(block), from);
    for (SIZE_T i = 0; i < from; ++i)
      block[i] = static_cast<unsigned char>(i * 7 + 1);
    auto *moved = static_cast<unsigned char *>(malloc.Realloc(block, to));
    ASSERT_NE(moved, nullptr) << from << " to " << to;
    EXPECT_EQ(malloc.GetSize(moved), to);
    for (SIZE_T i = 0; i < std::min(from, to); ++i)
      ASSERT_EQ(moved[i], static_cast<unsigned char>(i * 7 + 1)) << from << " to " << to;
    EXPECT_EQ(malloc.Realloc(moved, 0), nullptr);
  }
  void *kept = malloc.Realloc(nullptr, 24);
  ASSERT_NE(kept, nullptr);
  std::memset(kept, 0x5a, 24);
  EXPECT_EQ(malloc.Realloc(kept, std::numeric_limits<SIZE_T>::max()), nullptr);
  EXPECT_EQ(static_cast<unsigned char *>(kept)[23], 0x5a);
  EXPECT_EQ(malloc.Alloc(std::numeric_limits<SIZE_T>::max() - 4), nullptr);
  malloc.Free(kept);
  malloc.Free(nullptr);

  // Blocks of every class (and above the largest) stay apart while live, and a freed block
  // taken again serves its new owner without touching anyone else's.
  std::vector<std::pair<unsigned char *, SIZE_T>> live;
  const auto fill = [](unsigned char *block, SIZE_T size, unsigned char seed) {
    for (SIZE_T i = 0; i < size; ++i)
      block[i] = static_cast<unsigned char>(seed + i);
  };
  const auto intact = [](const unsigned char *block, SIZE_T size, unsigned char seed) {
    for (SIZE_T i = 0; i < size; ++i)
      if (block[i] != static_cast<unsigned char>(seed + i))
        return false;
    return true;
  };
  for (int round = 0; round < 3; ++round) {
    for (SIZE_T size : {SIZE_T{1}, SIZE_T{15}, SIZE_T{16}, SIZE_T{17}, SIZE_T{1008}, SIZE_T{1009},
                        SIZE_T{2032}, SIZE_T{5000}, SIZE_T{65520}, SIZE_T{65521}, SIZE_T{100000}})
      for (int copy = 0; copy < 3; ++copy) {
        auto *block = static_cast<unsigned char *>(malloc.Alloc(size));
        ASSERT_NE(block, nullptr) << size;
        fill(block, size, static_cast<unsigned char>(live.size()));
        live.emplace_back(block, size);
      }
    for (std::size_t i = 0; i < live.size(); ++i)
      ASSERT_TRUE(intact(live[i].first, live[i].second, static_cast<unsigned char>(i)))
          << "round " << round << ", block " << i << " of " << live[i].second << " bytes";
    // Every other block back, so that the next round takes freed blocks of each class.
    std::vector<std::pair<unsigned char *, SIZE_T>> kept;
    for (std::size_t i = 0; i < live.size(); ++i)
      if (i % 2 == 0)
        malloc.Free(live[i].first);
      else
        kept.push_back(live[i]);
    for (std::size_t i = 0; i < kept.size(); ++i)
      fill(kept[i].first, kept[i].second, static_cast<unsigned char>(i));
    live = std::move(kept);
  }
  for (const auto &[block, size] : live)
    malloc.Free(block);

  IUnknown *unknown = nullptr;
  ASSERT_EQ(malloc.QueryInterface(__uuidof(IUnknown), reinterpret_cast<void **>(&unknown)), S_OK);
  EXPECT_EQ(malloc.references(), 1u);
  unknown->Release();
  EXPECT_EQ(malloc.references(), 0u);
}

TEST(VSphereXmlLite, QuestionAndPowerState) {
  const auto objects = objectsOf(
      answer(200, soap("<RetrievePropertiesExResponse xmlns=\"urn:vim25\"><returnval><objects>"
                       "<obj type=\"VirtualMachine\">vm-1</obj><propSet><name>"
                       "runtime.connectionState</name><val>connected</val></propSet><propSet>"
                       "<name>runtime.question</name><val><id>0</id><text>Moved?</text></val>"
                       "</propSet><propSet><name>runtime.powerState</name><val>poweredOn</val>"
                       "</propSet></objects></returnval></RetrievePropertiesExResponse>")));
  ASSERT_EQ(objects.size(), 1u);
  EXPECT_EQ(executionStateOf(runtimeOf(objects[0])), 4);
}

TEST(VSphereXmlLite, RefusalsAreDescribed) {
  const std::wstring notVSphere = L"The server's answer is not a vSphere Web Services answer (";
  std::string deep;
  for (int i = 0; i < 100; ++i)
    deep = "<a>" + deep + "</a>";
  const std::pair<HttpAnswer, std::wstring> cases[] = {
      {answer(500, soap("<soapenv:Fault><faultcode>ServerFaultCode</faultcode><faultstring>"
                        "Login failure</faultstring><detail><InvalidLoginFault "
                        "xmlns=\"urn:vim25\"/></detail></soapenv:Fault>")),
       L"Login failure"},
      {answer(200, "<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY a \"b\">]><x>&a;</x>"),
       L"The server's answer holds a document type declaration or an entity, which are refused"},
      {answer(200, soap(deep)), notVSphere + L"elements nested deeper than 64)"},
      {answer(200, "just text"), notVSphere + L"no SOAP Envelope and Body)"},
      {answer(200, soap("<open>")), notVSphere + L"not well-formed XML)"},
      {answer(200, ""), notVSphere + L"an empty answer)"},
      {answer(200, soap("<x>" + std::string(70000, 'a') + "</x>")),
       notVSphere + L"a value longer than 65536 characters)"},
  };
  for (const auto &[refused, description] : cases)
    EXPECT_EQ(descriptionOf([&] { readServiceContent(refused, reader); }), description)
        << refused.body.substr(0, 80);
}

} // namespace
