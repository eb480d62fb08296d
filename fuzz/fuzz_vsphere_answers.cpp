// The vSphere adapter's answer reading over arbitrary server answers. Input: one byte
// choosing the answer's reader (low three bits) and its HTTP status (bit 3: 500, else
// 200), then the body. Every answer must give a value or an AutomationError; what is
// read must stay within the reader's limits and the budget it was given; the property
// values go through the conversions the checks read them with (numbers, booleans, dates and
// times, names) and through the machine state's judging.
#include <cstdlib>

#include "common/AutomationError.h"
#include "vmserver/vsphere/Answers.h"
#include "vmserver/vsphere/Machines.h"
#include "vmserver/vsphere/native/LibXml2Reader.h"

namespace {

using namespace brennow::vmserver::vsphere;

void check(bool condition) {
  if (!condition)
    std::abort();
}

// Every text the reading keeps is bounded.
void checkValue(const Value &value, int depth) {
  check(depth <= kMaxElementDepth);
  check(value.text.size() <= kMaxTextLength && value.schemaType.size() <= kMaxNameLength &&
        value.referenceType.size() <= kMaxNameLength);
  for (const Field &field : value.fields) {
    check(field.name.size() <= kMaxNameLength);
    checkValue(field.value, depth + 1);
  }
  longOf(&value);
  booleanOf(&value);
  dateTimeOf(value.text);
  unescapedName(value.text);
}

// `shape`: two bits, whether the values are read as scalars and whether fields are skipped.
void read(unsigned which, const HttpAnswer &answer, unsigned shape) {
  const XmlReaderFactory reader = makeLibXml2Reader;
  switch (which % 6) {
  case 0: {
    const ServiceContent content = readServiceContent(answer, reader);
    check(!content.rootFolder.value.empty() && !content.sessionManager.value.empty());
    break;
  }
  case 1:
    readAcknowledgement(answer, op::Logout, reader);
    break;
  case 2:
    check(!readContainerView(answer, reader).value.empty());
    break;
  case 3:
    check(!readCurrentTime(answer, reader).empty());
    break;
  default: {
    constexpr std::size_t kBudget = 1u << 20;
    CharacterBudget budget{kBudget};
    static constexpr std::wstring_view kSkipped[] = {L"snapshot", L"vm", L"id", L"name"};
    const ValueShape values{(shape & 1) != 0, (shape & 2)
                                                  ? std::span<const std::wstring_view>(kSkipped)
                                                  : std::span<const std::wstring_view>()};
    const RetrievedPage page = readRetrievedPage(
        answer, which % 6 == 4 ? op::RetrievePropertiesEx : op::ContinueRetrievePropertiesEx,
        reader, budget,
        [](ObjectContent &object) {
          check(object.object.value.size() <= kMaxTextLength);
          for (const Property &property : object.properties)
            checkValue(property.value, 0);
          try {
            const std::int32_t state = executionStateOf(runtimeOf(object));
            check(state >= 1 && state <= 5);
          } catch (const brennow::AutomationError &) {
          }
        },
        values);
    check(page.token.size() <= kMaxTextLength && budget.left <= kBudget);
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
    read(data[0] & 7, answer, (data[0] >> 4) & 3);
  } catch (const brennow::AutomationError &error) {
    check(!error.description().empty());
  }
  return 0;
}
