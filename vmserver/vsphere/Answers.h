#pragma once
// Reading the server's answers: status and SOAP framing checked, faults turned into their
// text, and what the adapter asked for picked out while the answer streams by: the service
// content, a view, and the objects of a property retrieval with their values.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/AutomationError.h"
#include "vmserver/vsphere/Envelopes.h"
#include "vmserver/vsphere/Transport.h"
#include "vmserver/vsphere/Vim.h"
#include "vmserver/vsphere/XmlReader.h"

namespace brennow::vmserver::vsphere {

// The longest text of one element, and the longest element name or attribute, the reader keeps.
inline constexpr std::size_t kMaxTextLength = 65536;
inline constexpr std::size_t kMaxNameLength = 1024;

struct ServiceContent {
  MoRef rootFolder;
  MoRef propertyCollector;
  MoRef viewManager;
  MoRef sessionManager;
};

struct Field;

// A property value as the server wrote it: a scalar's text, a managed object reference's
// identifier and type, or a data object's fields and an array's items, in their order.
struct Value {
  std::wstring schemaType;    // xsi:type without its prefix ("long"); empty without one
  std::wstring referenceType; // the type attribute of a managed object reference
  std::wstring text;          // its own text; empty for a value with fields
  std::vector<Field> fields;

  // The first field of that name; nullptr when there is none.
  const Value *field(std::wstring_view name) const;
  // The value as a managed object reference, its identifier trimmed.
  MoRef reference() const;
};

struct Field {
  std::wstring name;
  Value value;
};

// Typed scalars (xsd:long, xsd:boolean, xsd:dateTime) out of a value's text, blanks around it
// allowed; nothing when the value is missing or not of that form.
std::optional<std::int64_t> longOf(const Value *value);
std::optional<bool> booleanOf(const Value *value);
// Seconds since 1970-01-01T00:00:00Z; fractions of a second are dropped, an offset applied.
std::optional<std::int64_t> dateTimeOf(std::wstring_view text);

struct Property {
  std::wstring path;
  Value value;
};

// One object of a property retrieval and the values the server reported of it.
struct ObjectContent {
  MoRef object;
  std::vector<Property> properties;

  // The value of `path`; nullptr when the server reported none.
  const Value *property(std::wstring_view path) const;
};

// Takes each object as it ends; what it keeps it moves out: the object is read into again.
using ObjectConsumer = std::function<void(ObjectContent &)>;

// How many characters the reading of answers may still keep in memory for one check; every
// element kept counts its strings and a little more for itself.
struct CharacterBudget {
  std::size_t left = 0;
};

// What the reading of a retrieval throws when its answers would keep more than the budget.
class TooMuchToKeep : public AutomationError {
public:
  TooMuchToKeep();
};

// One answer of a property retrieval: its objects went to the consumer as each ended.
struct RetrievedPage {
  std::size_t objects = 0;
  std::wstring token; // empty on the last page
};

// What the reading of a retrieval may leave out of the values (see PropertySet).
struct ValueShape {
  bool scalarsOnly = false;
  std::span<const std::wstring_view> skippedFields;
};

// Every reader throws AutomationError: the server's fault text (ServerFault), or what is wrong.
ServiceContent readServiceContent(const HttpAnswer &answer, const XmlReaderFactory &reader);
// An answer whose content does not matter (Login, DestroyView, Logout).
void readAcknowledgement(const HttpAnswer &answer, Operation operation,
                         const XmlReaderFactory &reader);
MoRef readContainerView(const HttpAnswer &answer, const XmlReaderFactory &reader);
// The server's clock as it wrote it.
std::wstring readCurrentTime(const HttpAnswer &answer, const XmlReaderFactory &reader);
// `operation`: RetrievePropertiesEx or ContinueRetrievePropertiesEx. Throws when what the
// answer would keep exceeds `budget`, which it uses up; what `shape` leaves out is not kept.
RetrievedPage readRetrievedPage(const HttpAnswer &answer, Operation operation,
                                const XmlReaderFactory &reader, CharacterBudget &budget,
                                const ObjectConsumer &take, const ValueShape &shape = {});

// "vmware_soap_session=<value>" from Set-Cookie values, when one sets it.
std::optional<std::string> sessionCookieOf(const std::vector<std::string> &setCookies);

// Text without the blanks, tabs and line breaks around it.
std::wstring_view trimmedText(std::wstring_view text);

// An entity's name as vSphere writes it, with "%25", "%2f" and "%5c" (any letter case) back
// as "%", "/" and "\"; a name without "%" is given back as it is.
std::wstring unescapedName(std::wstring name);
// The same, appended to `out`.
void appendUnescapedName(std::wstring_view name, std::wstring &out);

} // namespace brennow::vmserver::vsphere
