#include "vmserver/vsphere/Answers.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <span>

#include "vmserver/vsphere/Errors.h"

namespace brennow::vmserver::vsphere {

// Names compared with their lengths known when compiled.
using namespace std::string_view_literals;

namespace {

constexpr std::wstring_view kSoapNamespace = L"http://schemas.xmlsoap.org/soap/envelope/";
constexpr std::wstring_view kBlanks = L" \t\r\n";
// What one kept element costs beyond its strings, in characters.
constexpr std::size_t kElementCost = 16;

bool isBlank(std::wstring_view text) { return text.find_first_not_of(kBlanks) == text.npos; }

// The element names the readers tell apart, each known by a tag instead of a copy of its
// name: a long answer opens hundreds of thousands of them.
enum class Tag : std::uint8_t {
  Other, // any other name, kept as text
  Envelope,
  Body,
  Fault,
  faultstring,
  detail,
  returnval,
  objects,
  obj,
  propSet,
  name,
  val,
  token,
  rootFolder,
  propertyCollector,
  viewManager,
  sessionManager,
};

constexpr std::array<std::wstring_view, 17> kTagNames = {L"",
                                                         L"Envelope",
                                                         L"Body",
                                                         L"Fault",
                                                         L"faultstring",
                                                         L"detail",
                                                         L"returnval",
                                                         L"objects",
                                                         L"obj",
                                                         L"propSet",
                                                         L"name",
                                                         L"val",
                                                         L"token",
                                                         L"rootFolder",
                                                         L"propertyCollector",
                                                         L"viewManager",
                                                         L"sessionManager"};

Tag tagOf(std::wstring_view name) {
  for (std::size_t i = 1; i < kTagNames.size(); ++i)
    if (kTagNames[i] == name)
      return static_cast<Tag>(i);
  return Tag::Other;
}

// One open element while an answer streams by. Frames are kept for reuse as elements open
// and close, so that a long answer costs no allocation per element it does not keep.
struct Frame {
  Tag tag = Tag::Other;
  std::wstring otherName; // the name of a Tag::Other element
  Value value;
  bool hasChildren = false;

  std::wstring_view name() const {
    return tag == Tag::Other ? std::wstring_view(otherName)
                             : kTagNames[static_cast<std::size_t>(tag)];
  }

  void reset(Tag elementTag, std::wstring_view elementName) {
    tag = elementTag;
    if (tag == Tag::Other)
      otherName.assign(elementName);
    value.schemaType.clear();
    value.referenceType.clear();
    value.text.clear();
    value.fields.clear();
    hasChildren = false;
  }
};

// The open elements below the operation's answer element.
using Path = std::span<Frame>;

// From the innermost element out: paths of one answer differ most there.
bool is(Path path, std::initializer_list<Tag> tags) {
  return path.size() == tags.size() &&
         std::equal(std::rbegin(tags), std::rend(tags), path.rbegin(),
                    [](Tag tag, const Frame &frame) { return frame.tag == tag; });
}

// What a reader of one answer does with each element below the answer element as it ends.
class Sink {
public:
  virtual ~Sink() = default;
  virtual void ended(Path path) = 0;
  // Whether an element `tag` (named `name`) opening below `open` has its type attributes read:
  // only those the reader needs are looked at.
  virtual bool readsTypesOf(Path open, Tag tag, std::wstring_view name) const = 0;
};

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char p, char t) {
           return p == ((t >= 'A' && t <= 'Z') ? static_cast<char>(t - 'A' + 'a') : t);
         });
}

bool looksLikeHtml(const HttpAnswer &answer) {
  if (startsWithNoCase(answer.contentType, "text/html"))
    return true;
  std::string_view body = answer.body;
  if (body.starts_with("\xEF\xBB\xBF"))
    body.remove_prefix(3);
  const auto start = body.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos)
    return false;
  body.remove_prefix(start);
  return startsWithNoCase(body, "<!doctype html") || startsWithNoCase(body, "<html");
}

[[noreturn]] void tooLong(std::wstring_view what, std::size_t limit) {
  throw notVSphereAnswer(std::wstring(what) + L" longer than " + std::to_wstring(limit) +
                         L" characters");
}

// Streams one SOAP answer: Envelope, Body, then either the operation's answer element
// (whose descendants go to the sink) or a Fault.
class AnswerWalk {
public:
  // Deep enough for every answer this adapter reads, so that the stack grows once.
  static constexpr std::size_t kUsualDepth = 16;

  AnswerWalk(Operation operation, Sink &sink) : operation_(operation.name), sink_(sink) {
    stack_.reserve(kUsualDepth);
  }

  void run(XmlReader &reader) {
    for (XmlNode node = reader.next(); node != XmlNode::EndOfDocument; node = reader.next()) {
      switch (node) {
      case XmlNode::StartElement:
        start(reader);
        if (reader.isEmptyElement())
          end();
        break;
      case XmlNode::EndElement:
        end();
        break;
      case XmlNode::Text:
        text(reader.text());
        break;
      case XmlNode::EndOfDocument:
        break;
      }
    }
  }

  bool framed() const { return sawEnvelope_ && sawBody_; }
  bool answered() const { return sawAnswer_; }
  bool faulted() const { return sawFault_; }
  const std::wstring &otherAnswer() const { return otherAnswer_; }
  std::wstring faultText() const { return faultString_.empty() ? faultDetail_ : faultString_; }

private:
  void start(XmlReader &reader) {
    const std::size_t depth = depth_;
    if (depth >= static_cast<std::size_t>(kMaxElementDepth))
      throw XmlReadError(XmlReadError::Kind::TooDeep);
    const std::wstring_view name = reader.localName();
    if (name.size() > kMaxNameLength)
      tooLong(L"an element name", kMaxNameLength);
    const Tag tag = tagOf(name);
    if (depth > 0) {
      // Whatever text came before the first child was the blanks of an indented answer.
      Frame &parent = stack_[depth - 1];
      if (!parent.hasChildren)
        parent.value.text.clear();
      parent.hasChildren = true;
    }
    if (depth == stack_.size())
      stack_.emplace_back();
    Frame &frame = stack_[depth];
    frame.reset(tag, name);
    // Only the envelope's own elements are told by their namespace.
    const bool soap = depth <= 2 && reader.namespaceUri() == kSoapNamespace;
    if (depth == 0)
      sawEnvelope_ = soap && tag == Tag::Envelope;
    else if (depth == 1 && sawEnvelope_ && soap && tag == Tag::Body)
      sawBody_ = true;
    else if (depth == 2 && inBody())
      classifyAnswer(name, tag, soap);
    if (depth >= 3 && sawAnswer_ &&
        sink_.readsTypesOf(Path(stack_.data() + 3, depth - 3), tag, name))
      readTypes(reader, frame.value);
    ++depth_;
  }

  static void readTypes(XmlReader &reader, Value &value) {
    const auto types = reader.typeAttributes();
    if (types.reference) {
      const std::wstring_view type = trimmedText(*types.reference);
      if (type.size() > kMaxNameLength)
        tooLong(L"a type attribute", kMaxNameLength);
      value.referenceType.assign(type);
    }
    if (types.schema) {
      std::wstring_view type = trimmedText(*types.schema);
      if (type.size() > kMaxNameLength)
        tooLong(L"a type attribute", kMaxNameLength);
      if (const auto colon = type.rfind(L':'); colon != type.npos)
        type.remove_prefix(colon + 1);
      value.schemaType.assign(type);
    }
  }

  void classifyAnswer(std::wstring_view name, Tag tag, bool soap) {
    if (sawAnswer_ || sawFault_ || !otherAnswer_.empty())
      return; // only the Body's first element counts
    if (soap && tag == Tag::Fault)
      sawFault_ = true;
    else if (answersOperation(name))
      sawAnswer_ = true;
    else
      otherAnswer_ = name;
  }

  // "<operation>Response".
  bool answersOperation(std::wstring_view name) const {
    constexpr std::wstring_view kSuffix = L"Response";
    return name.size() == operation_.size() + kSuffix.size() && name.ends_with(kSuffix) &&
           std::equal(operation_.begin(), operation_.end(), name.begin(),
                      [](char a, wchar_t w) { return static_cast<wchar_t>(a) == w; });
  }

  bool inBody() const { return sawBody_ && depth_ >= 2 && stack_[1].tag == Tag::Body; }

  // Text between child elements is not part of any value: an indented answer's blanks.
  void text(std::wstring_view text) {
    if (depth_ == 0)
      return;
    Frame &frame = stack_[depth_ - 1];
    if (frame.hasChildren)
      return;
    std::wstring &kept = frame.value.text;
    if (kept.size() + text.size() > kMaxTextLength) {
      if (isBlank(text))
        return;
      tooLong(L"a value", kMaxTextLength);
    }
    kept += text;
  }

  void end() {
    if (depth_ == 0)
      return; // the readers pair every end with its start
    if (depth_ >= 4 && inBody()) {
      const Path below(stack_.data() + 3, depth_ - 3);
      if (sawFault_)
        faultElementEnded(below);
      else if (sawAnswer_)
        sink_.ended(below);
    }
    --depth_;
  }

  void faultElementEnded(Path path) {
    if (is(path, {Tag::faultstring}))
      faultString_ = path.back().value.text;
    else if (path.size() == 2 && path[0].tag == Tag::detail && faultDetail_.empty())
      faultDetail_ = path[1].name();
  }

  std::string_view operation_;
  Sink &sink_;
  std::vector<Frame> stack_; // the open elements are the first depth_
  std::size_t depth_ = 0;
  bool sawEnvelope_ = false;
  bool sawBody_ = false;
  bool sawAnswer_ = false;
  bool sawFault_ = false;
  std::wstring otherAnswer_;
  std::wstring faultString_;
  std::wstring faultDetail_;
};

std::wstring statusText(int status) {
  return L"HTTP status " + std::to_wstring(status) + L" without a SOAP fault";
}

// Reads `answer` as the answer to `operation`, handing its content to `sink`.
void readAnswer(const HttpAnswer &answer, Operation operation, const XmlReaderFactory &makeReader,
                Sink &sink) {
  const bool ok = answer.status == 200;
  if (looksLikeHtml(answer))
    throw notVSphereAnswer(ok ? L"an HTML page" : statusText(answer.status));
  if (answer.body.find_first_not_of(" \t\r\n") == std::string::npos)
    throw notVSphereAnswer(ok ? L"an empty answer" : statusText(answer.status));
  AnswerWalk walk(operation, sink);
  try {
    const auto reader = makeReader(answer.body);
    walk.run(*reader);
  } catch (const XmlReadError &error) {
    if (!ok && !walk.faulted())
      throw notVSphereAnswer(statusText(answer.status));
    switch (error.kind()) {
    case XmlReadError::Kind::DocumentType:
      throw adapterError(
          L"The server's answer holds a document type declaration or an entity, which are "
          L"refused");
    case XmlReadError::Kind::TooDeep:
      throw notVSphereAnswer(L"elements nested deeper than " + std::to_wstring(kMaxElementDepth));
    case XmlReadError::Kind::Malformed:
      break;
    }
    throw notVSphereAnswer(L"not well-formed XML");
  }
  if (walk.faulted())
    throw serverFault(walk.faultText());
  if (!ok)
    throw notVSphereAnswer(statusText(answer.status));
  if (!walk.framed())
    throw notVSphereAnswer(L"no SOAP Envelope and Body");
  if (!walk.answered())
    throw notVSphereAnswer(walk.otherAnswer().empty()
                               ? L"an empty SOAP Body"
                               : L"an answer " + walk.otherAnswer() + L" to another request");
}

class ServiceContentSink final : public Sink {
public:
  ServiceContent content;
  bool readsTypesOf(Path open, Tag tag, std::wstring_view) const override {
    return open.size() == 1 && (tag == Tag::rootFolder || tag == Tag::propertyCollector ||
                                tag == Tag::viewManager || tag == Tag::sessionManager);
  }
  void ended(Path path) override {
    if (path.size() != 2 || path[0].tag != Tag::returnval)
      return;
    switch (path[1].tag) {
    case Tag::rootFolder:
      content.rootFolder = path[1].value.reference();
      break;
    case Tag::propertyCollector:
      content.propertyCollector = path[1].value.reference();
      break;
    case Tag::viewManager:
      content.viewManager = path[1].value.reference();
      break;
    case Tag::sessionManager:
      content.sessionManager = path[1].value.reference();
      break;
    default:
      break;
    }
  }
};

class IgnoringSink final : public Sink {
public:
  void ended(Path) override {}
  bool readsTypesOf(Path, Tag, std::wstring_view) const override { return false; }
};

// The answer element's returnval: a reference or a scalar.
class ReturnvalSink final : public Sink {
public:
  std::optional<Value> value;
  bool readsTypesOf(Path open, Tag tag, std::wstring_view) const override {
    return open.empty() && tag == Tag::returnval;
  }
  void ended(Path path) override {
    if (is(path, {Tag::returnval}))
      value = std::move(path[0].value);
  }
};

// The objects of a RetrieveResult with their property values, each handed on as it ends. The
// object's memory is used again for the next one where the consumer left it.
class RetrieveSink final : public Sink {
public:
  RetrieveSink(CharacterBudget &budget, const ObjectConsumer &take, const ValueShape &shape)
      : budget_(budget), take_(take), shape_(shape) {}

  RetrievedPage page;

  // The object's reference, and everything at and below a property's value unless the values
  // are known to be scalars.
  bool readsTypesOf(Path open, Tag tag, std::wstring_view name) const override {
    if (open.size() == 2)
      return tag == Tag::obj && is(open, {Tag::returnval, Tag::objects});
    return !shape_.scalarsOnly && open.size() >= 3 && inPropSet(open) &&
           (open.size() > 3 ? open[3].tag == Tag::val && !skipped(name) : tag == Tag::val);
  }

  void ended(Path path) override {
    switch (path.size()) {
    case 2:
      if (is(path, {Tag::returnval, Tag::objects}))
        objectEnded();
      else if (is(path, {Tag::returnval, Tag::token}))
        page.token.assign(trimmedText(path[1].value.text));
      break;
    case 3:
      if (is(path, {Tag::returnval, Tag::objects, Tag::obj})) {
        charge(path[2]);
        current_.object.type.assign(path[2].value.referenceType);
        current_.object.value.assign(trimmedText(path[2].value.text));
      }
      break;
    case 4:
      if (!inPropSet(path))
        break;
      if (path[3].tag == Tag::val)
        propertyEnded(path[3]);
      else if (path[3].tag == Tag::name)
        propertyName_.assign(trimmedText(path[3].value.text));
      break;
    default:
      if (path.size() > 4 && path[3].tag == Tag::val && inPropSet(path)) {
        Frame &child = path.back();
        if (skipped(child.name()))
          break; // its frame is read into again, its memory kept
        charge(child);
        path[path.size() - 2].value.fields.push_back(
            {std::wstring(child.name()), std::move(child.value)});
      }
    }
  }

private:
  bool skipped(std::wstring_view field) const {
    return std::ranges::find(shape_.skippedFields, field) != shape_.skippedFields.end();
  }

  static bool inPropSet(Path path) {
    return path[0].tag == Tag::returnval && path[1].tag == Tag::objects &&
           path[2].tag == Tag::propSet;
  }

  void propertyEnded(Frame &value) {
    charge(value);
    charge(propertyName_.size());
    auto &properties = current_.properties;
    if (properties_ == properties.size())
      properties.emplace_back();
    Property &property = properties[properties_++];
    property.path.assign(propertyName_);
    property.value = std::move(value.value);
  }

  void objectEnded() {
    current_.properties.resize(properties_);
    ++page.objects;
    take_(current_);
    properties_ = 0;
    current_.object.type.clear();
    current_.object.value.clear();
  }

  void charge(const Frame &frame) {
    const Value &v = frame.value;
    charge(frame.name().size() + v.text.size() + v.schemaType.size() + v.referenceType.size() +
           kElementCost);
  }
  void charge(std::size_t characters) {
    if (characters > budget_.left)
      throw TooMuchToKeep();
    budget_.left -= characters;
  }

  CharacterBudget &budget_;
  const ObjectConsumer &take_;
  ValueShape shape_;
  ObjectContent current_;
  std::size_t properties_ = 0; // of current_.properties, those of the object being read
  std::wstring propertyName_;
};

int digitsAt(std::wstring_view text, std::size_t at, std::size_t count) {
  if (at + count > text.size())
    return -1;
  int number = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < L'0' || text[i] > L'9')
      return -1;
    number = number * 10 + (text[i] - L'0');
  }
  return number;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

} // namespace

TooMuchToKeep::TooMuchToKeep()
    : AutomationError(static_cast<std::int32_t>(0x80004005u),
                      L"The server's answers hold more than a check reads") {}

const Value *Value::field(std::wstring_view name) const {
  const auto found =
      std::find_if(fields.begin(), fields.end(), [&](const Field &f) { return f.name == name; });
  return found == fields.end() ? nullptr : &found->value;
}

MoRef Value::reference() const { return {referenceType, std::wstring(trimmedText(text))}; }

const Value *ObjectContent::property(std::wstring_view path) const {
  const auto found = std::find_if(properties.begin(), properties.end(),
                                  [&](const Property &p) { return p.path == path; });
  return found == properties.end() ? nullptr : &found->value;
}

std::optional<std::int64_t> longOf(const Value *value) {
  if (!value)
    return std::nullopt;
  std::wstring_view text = trimmedText(value->text);
  const bool negative = text.starts_with(L'-');
  if (negative || text.starts_with(L'+'))
    text.remove_prefix(1);
  if (text.empty() || text.size() > 18)
    return std::nullopt;
  std::int64_t number = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9')
      return std::nullopt;
    number = number * 10 + (c - L'0');
  }
  return negative ? -number : number;
}

std::optional<bool> booleanOf(const Value *value) {
  if (!value)
    return std::nullopt;
  const std::wstring_view text = trimmedText(value->text);
  if (text == L"true"sv || text == L"1"sv)
    return true;
  if (text == L"false"sv || text == L"0"sv)
    return false;
  return std::nullopt;
}

std::optional<std::int64_t> dateTimeOf(std::wstring_view text) {
  text = trimmedText(text);
  // YYYY-MM-DDThh:mm:ss
  const int year = digitsAt(text, 0, 4), month = digitsAt(text, 5, 2), day = digitsAt(text, 8, 2);
  const int hour = digitsAt(text, 11, 2), minute = digitsAt(text, 14, 2),
            second = digitsAt(text, 17, 2);
  if (text.size() < 19 || text[4] != L'-' || text[7] != L'-' || text[10] != L'T' ||
      text[13] != L':' || text[16] != L':' || year < 0 || month < 1 || month > 12 || day < 1 ||
      day > 31 || hour < 0 || hour > 24 || minute < 0 || minute > 59 || second < 0 || second > 60)
    return std::nullopt;
  std::size_t at = 19;
  if (at < text.size() && text[at] == L'.') {
    for (++at; at < text.size() && text[at] >= L'0' && text[at] <= L'9';)
      ++at;
  }
  std::int64_t offset = 0;
  if (at < text.size() && (text[at] == L'+' || text[at] == L'-')) {
    const int offsetHours = digitsAt(text, at + 1, 2), offsetMinutes = digitsAt(text, at + 4, 2);
    if (offsetHours < 0 || offsetHours > 14 || offsetMinutes < 0 || offsetMinutes > 59 ||
        text.size() != at + 6 || text[at + 3] != L':')
      return std::nullopt;
    offset = (text[at] == L'-' ? -1 : 1) * (offsetHours * 3600 + offsetMinutes * 60);
    at = text.size();
  } else if (at < text.size() && text[at] == L'Z') {
    ++at;
  }
  if (at != text.size())
    return std::nullopt;
  const std::int64_t days =
      daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  return days * 86400 + hour * 3600 + minute * 60 + second - offset;
}

ServiceContent readServiceContent(const HttpAnswer &answer, const XmlReaderFactory &reader) {
  ServiceContentSink sink;
  readAnswer(answer, op::RetrieveServiceContent, reader, sink);
  const ServiceContent &c = sink.content;
  for (const MoRef *object :
       {&c.rootFolder, &c.propertyCollector, &c.viewManager, &c.sessionManager})
    if (object->value.empty())
      throw notVSphereAnswer(L"a service content without the root folder, property collector, "
                             L"view manager and session manager");
  return std::move(sink.content);
}

void readAcknowledgement(const HttpAnswer &answer, Operation operation,
                         const XmlReaderFactory &reader) {
  IgnoringSink sink;
  readAnswer(answer, operation, reader, sink);
}

MoRef readContainerView(const HttpAnswer &answer, const XmlReaderFactory &reader) {
  ReturnvalSink sink;
  readAnswer(answer, op::CreateContainerView, reader, sink);
  MoRef view = sink.value ? sink.value->reference() : MoRef{};
  if (view.value.empty())
    throw notVSphereAnswer(L"a container view without its reference");
  return view;
}

std::wstring readCurrentTime(const HttpAnswer &answer, const XmlReaderFactory &reader) {
  ReturnvalSink sink;
  readAnswer(answer, op::CurrentTime, reader, sink);
  if (!sink.value || trimmedText(sink.value->text).empty())
    throw notVSphereAnswer(L"a current time without the time");
  return std::wstring(trimmedText(sink.value->text));
}

RetrievedPage readRetrievedPage(const HttpAnswer &answer, Operation operation,
                                const XmlReaderFactory &reader, CharacterBudget &budget,
                                const ObjectConsumer &take, const ValueShape &shape) {
  RetrieveSink sink(budget, take, shape);
  readAnswer(answer, operation, reader, sink);
  return std::move(sink.page);
}

std::optional<std::string> sessionCookieOf(const std::vector<std::string> &setCookies) {
  constexpr std::string_view kName = "vmware_soap_session=";
  for (std::string_view line : setCookies) {
    const auto start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos)
      continue;
    line.remove_prefix(start);
    if (!line.starts_with(kName))
      continue;
    const std::string_view pair = line.substr(0, line.find(';'));
    if (pair.size() > kName.size())
      return std::string(pair.substr(0, pair.find_last_not_of(" \t") + 1));
  }
  return std::nullopt;
}

std::wstring_view trimmedText(std::wstring_view text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::wstring_view::npos)
    return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::wstring unescapedName(std::wstring name) {
  if (name.find(L'%') == std::wstring::npos)
    return name;
  std::wstring out;
  appendUnescapedName(name, out);
  return out;
}

void appendUnescapedName(std::wstring_view name, std::wstring &out) {
  if (name.find(L'%') == std::wstring_view::npos) {
    out += name;
    return;
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == L'%' && i + 2 < name.size()) {
      const std::wstring_view code = name.substr(i + 1, 2);
      const wchar_t plain = code == L"25"sv                      ? L'%'
                            : code == L"2f"sv || code == L"2F"sv ? L'/'
                            : code == L"5c"sv || code == L"5C"sv ? L'\\'
                                                                 : L'\0';
      if (plain != L'\0') {
        out.push_back(plain);
        i += 2;
        continue;
      }
    }
    out.push_back(name[i]);
  }
}

} // namespace brennow::vmserver::vsphere
