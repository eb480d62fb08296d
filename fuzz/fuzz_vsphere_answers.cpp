// The vSphere adapter's answer reading over arbitrary server answers. Input: one byte
// choosing the answer's reader (low three bits) and its HTTP status (bit 3: 500, else
// 200), then the body. Every answer must give a value or an AutomationError; what is
// read must stay within the reader's limits.
#include <cstdlib>

#include "common/AutomationError.h"
#include "vmserver/vsphere/Answers.h"
#include "vmserver/vsphere/native/LibXml2Reader.h"

namespace {

using namespace brennow::vmserver::vsphere;

void check(bool condition) {
  if (!condition)
    std::abort();
}

void read(unsigned which, const HttpAnswer &answer) {
  const XmlReaderFactory reader = makeLibXml2Reader;
  switch (which % 5) {
  case 0: {
    const ServiceContent content = readServiceContent(answer, reader);
    check(!content.rootFolder.value.empty() && !content.sessionManager.value.empty());
    break;
  }
  case 1:
    readAcknowledgement(answer, L"Logout", reader);
    break;
  case 2:
    check(!readContainerView(answer, reader).value.empty());
    break;
  case 3: {
    const NamesPage page = readNamesPage(answer, L"RetrievePropertiesEx", reader);
    check(page.token.size() <= kMaxTextLength);
    for (const NamedObject &object : page.objects)
      check(object.name.size() <= kMaxTextLength && object.object.value.size() <= kMaxTextLength);
    break;
  }
  default: {
    const std::int32_t state = executionStateOf(readMachineRuntime(answer, reader));
    check(state >= 1 && state <= 5);
    break;
  }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return 0;
  HttpAnswer answer;
  answer.status = (data[0] & 8) ? 500 : 200;
  answer.contentType = "text/xml; charset=utf-8";
  answer.body.assign(reinterpret_cast<const char *>(data + 1), size - 1);
  try {
    read(data[0] & 7, answer);
  } catch (const brennow::AutomationError &error) {
    check(!error.description().empty());
  }
  return 0;
}
