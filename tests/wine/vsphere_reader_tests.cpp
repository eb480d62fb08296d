// The vSphere adapter's answer reading over XmlLite: the values the adapter picks out,
// and the refusals (document types, depth, plain text, broken documents) that XmlLite
// must give here as they are described to the operator.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/AutomationError.h"
#include "vmserver/vsphere/Answers.h"
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
  const auto page = readNamesPage(
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
      L"RetrievePropertiesEx", reader);
  ASSERT_EQ(page.objects.size(), 3u);
  EXPECT_EQ(page.objects[0].name, L"web&01");
  EXPECT_EQ(page.objects[0].object, (MoRef{L"VirtualMachine", L"vm-1"}));
  EXPECT_EQ(page.objects[1].name, L"db <02>");
  // The type attribute without a prefix, whatever prefixed one stands before or after it.
  EXPECT_EQ(page.objects[1].object, (MoRef{L"VirtualMachine", L"vm-2"}));
  EXPECT_EQ(page.objects[2].name, L"caf\u00e9 \U0001F600");
  EXPECT_EQ(page.token, L"2");
}

TEST(VSphereXmlLite, QuestionAndPowerState) {
  const auto runtime = readMachineRuntime(
      answer(200, soap("<RetrievePropertiesExResponse xmlns=\"urn:vim25\"><returnval><objects>"
                       "<obj type=\"VirtualMachine\">vm-1</obj><propSet><name>"
                       "runtime.connectionState</name><val>connected</val></propSet><propSet>"
                       "<name>runtime.question</name><val><id>0</id><text>Moved?</text></val>"
                       "</propSet><propSet><name>runtime.powerState</name><val>poweredOn</val>"
                       "</propSet></objects></returnval></RetrievePropertiesExResponse>")),
      reader);
  EXPECT_EQ(executionStateOf(runtime), 4);
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
