#include "vmserver/vsphere/Answers.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <span>

#include "vmserver/vsphere/Errors.h"

namespace brennow::vmserver::vsphere {

// Names compared with their lengths known when compiled.
using namespace std::string_view_literals;

namespace {

constexpr std::wstring_view kSoapNamespace = L"http://schemas.xmlsoap.org/soap/envelope/";

// One open element while an answer streams by. Frames are kept for reuse as elements open
// and close, so that a long answer costs no allocation per element.
struct Frame {
  std::wstring name;
  std::wstring text; // its own text, up to kMaxTextLength
  std::wstring type; // its type attribute; empty without one
  bool hasChildren = false;
};

// Names of the open elements below the operation's answer element.
using Path = std::span<const Frame>;

// From the innermost name out: paths of one answer differ most there.
bool is(Path path, std::initializer_list<std::wstring_view> names) {
  return path.size() == names.size() &&
         std::equal(std::rbegin(names), std::rend(names), path.rbegin(),
                    [](std::wstring_view name, const Frame &frame) { return frame.name == name; });
}

// What a reader of one answer does with each element below the answer element as it ends.
class Sink {
public:
  virtual ~Sink() = default;
  virtual void ended(Path path) = 0;
  // Whether elements of that name are references whose type attribute it reads: only those
  // have their attributes looked at.
  virtual bool readsTypeOf(std::wstring_view elementName) const = 0;
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

// Streams one SOAP answer: Envelope, Body, then either the operation's answer element
// (whose descendants go to the sink) or a Fault.
class AnswerWalk {
public:
  AnswerWalk(std::wstring_view operation, Sink &sink)
      : expected_(std::wstring(operation) + L"Response"), sink_(sink) {}

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
    if (depth > 0)
      stack_[depth - 1].hasChildren = true;
    if (depth == stack_.size())
      stack_.emplace_back();
    Frame &frame = stack_[depth];
    frame.name.assign(reader.localName());
    frame.text.clear();
    frame.type.clear();
    frame.hasChildren = false;
    // Only the envelope's own elements are told by their namespace.
    const bool soap = depth <= 2 && reader.namespaceUri() == kSoapNamespace;
    if (depth == 0)
      sawEnvelope_ = soap && frame.name == L"Envelope"sv;
    else if (depth == 1 && sawEnvelope_ && soap && frame.name == L"Body"sv)
      sawBody_ = true;
    else if (depth == 2 && inBody())
      classifyAnswer(frame.name, soap);
    if (depth >= 3 && sawAnswer_ && sink_.readsTypeOf(frame.name)) {
      if (auto type = reader.attribute(L"type"))
        frame.type.assign(*type);
    }
    ++depth_;
  }

  void classifyAnswer(const std::wstring &name, bool soap) {
    if (sawAnswer_ || sawFault_ || !otherAnswer_.empty())
      return; // only the Body's first element counts
    if (soap && name == L"Fault"sv)
      sawFault_ = true;
    else if (name == expected_)
      sawAnswer_ = true;
    else
      otherAnswer_ = name;
  }

  bool inBody() const { return sawBody_ && depth_ >= 2 && stack_[1].name == L"Body"sv; }

  void text(std::wstring_view text) {
    if (depth_ == 0)
      return;
    std::wstring &kept = stack_[depth_ - 1].text;
    if (kept.size() + text.size() > kMaxTextLength)
      throw notVSphereAnswer(L"a value longer than " + std::to_wstring(kMaxTextLength) +
                             L" characters");
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
    if (is(path, {L"faultstring"sv}))
      faultString_ = path.back().text;
    else if (path.size() == 2 && path[0].name == L"detail"sv && faultDetail_.empty())
      faultDetail_ = path[1].name;
  }

  std::wstring expected_;
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
void readAnswer(const HttpAnswer &answer, std::wstring_view operation,
                const XmlReaderFactory &makeReader, Sink &sink) {
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

MoRef referenceIn(const Frame &frame) { return {frame.type, frame.text}; }

class ServiceContentSink final : public Sink {
public:
  ServiceContent content;
  bool readsTypeOf(std::wstring_view name) const override {
    return name == L"rootFolder"sv || name == L"propertyCollector"sv || name == L"viewManager"sv ||
           name == L"sessionManager"sv;
  }
  void ended(Path path) override {
    if (path.size() != 2 || path[0].name != L"returnval"sv)
      return;
    const std::wstring &name = path[1].name;
    if (name == L"rootFolder"sv)
      content.rootFolder = referenceIn(path[1]);
    else if (name == L"propertyCollector"sv)
      content.propertyCollector = referenceIn(path[1]);
    else if (name == L"viewManager"sv)
      content.viewManager = referenceIn(path[1]);
    else if (name == L"sessionManager"sv)
      content.sessionManager = referenceIn(path[1]);
  }
};

class IgnoringSink final : public Sink {
public:
  void ended(Path) override {}
  bool readsTypeOf(std::wstring_view) const override { return false; }
};

class ReturnvalSink final : public Sink {
public:
  std::optional<MoRef> value;
  bool readsTypeOf(std::wstring_view name) const override { return name == L"returnval"sv; }
  void ended(Path path) override {
    if (is(path, {L"returnval"sv}))
      value = referenceIn(path[0]);
  }
};

// The objects of a RetrieveResult with their property values, one object at a time.
class RetrieveResultSink : public Sink {
public:
  bool readsTypeOf(std::wstring_view name) const override { return name == L"obj"sv; }
  void ended(Path path) override {
    if (is(path, {L"returnval"sv, L"token"sv}))
      token_ = path[1].text;
    else if (is(path, {L"returnval"sv, L"objects"sv, L"obj"sv})) {
      object_.type.assign(path[2].type);
      object_.value.assign(path[2].text);
    } else if (is(path, {L"returnval"sv, L"objects"sv, L"propSet"sv, L"name"sv}))
      propertyName_ = path[3].text;
    else if (is(path, {L"returnval"sv, L"objects"sv, L"propSet"sv, L"val"sv}))
      property(propertyName_, path[3]);
    else if (is(path, {L"returnval"sv, L"objects"sv}))
      objectEnded(object_);
  }

protected:
  virtual void property(const std::wstring &name, const Frame &value) = 0;
  virtual void objectEnded(const MoRef &object) = 0;
  std::wstring token_;

private:
  MoRef object_;
  std::wstring propertyName_;
};

class NamesSink final : public RetrieveResultSink {
public:
  NamesPage page() {
    page_.token = token_;
    return std::move(page_);
  }

private:
  void property(const std::wstring &name, const Frame &value) override {
    if (name == L"name"sv)
      name_ = value.text;
  }
  void objectEnded(const MoRef &object) override {
    if (name_)
      page_.objects.push_back({object, std::move(*name_)});
    name_.reset();
  }
  std::optional<std::wstring> name_;
  NamesPage page_;
};

class RuntimeSink final : public RetrieveResultSink {
public:
  MachineRuntime runtime;

private:
  void property(const std::wstring &name, const Frame &value) override {
    if (name == kConnectionState)
      runtime.connectionState = value.text;
    else if (name == kPowerState)
      runtime.powerState = value.text;
    else if (name == kQuestion)
      runtime.question = value.hasChildren || !value.text.empty();
  }
  void objectEnded(const MoRef &) override {}
};

std::wstring_view trimmed(std::wstring_view text) {
  const auto first = text.find_first_not_of(L" \t\r\n");
  if (first == std::wstring_view::npos)
    return {};
  return text.substr(first, text.find_last_not_of(L" \t\r\n") - first + 1);
}

} // namespace

ServiceContent readServiceContent(const HttpAnswer &answer, const XmlReaderFactory &reader) {
  ServiceContentSink sink;
  readAnswer(answer, L"RetrieveServiceContent", reader, sink);
  const ServiceContent &c = sink.content;
  for (const MoRef *object :
       {&c.rootFolder, &c.propertyCollector, &c.viewManager, &c.sessionManager})
    if (object->value.empty())
      throw notVSphereAnswer(L"a service content without the root folder, property collector, "
                             L"view manager and session manager");
  return sink.content;
}

void readAcknowledgement(const HttpAnswer &answer, std::wstring_view operation,
                         const XmlReaderFactory &reader) {
  IgnoringSink sink;
  readAnswer(answer, operation, reader, sink);
}

MoRef readContainerView(const HttpAnswer &answer, const XmlReaderFactory &reader) {
  ReturnvalSink sink;
  readAnswer(answer, L"CreateContainerView", reader, sink);
  if (!sink.value || sink.value->value.empty())
    throw notVSphereAnswer(L"a container view without its reference");
  return *sink.value;
}

NamesPage readNamesPage(const HttpAnswer &answer, std::wstring_view operation,
                        const XmlReaderFactory &reader) {
  NamesSink sink;
  readAnswer(answer, operation, reader, sink);
  return sink.page();
}

MachineRuntime readMachineRuntime(const HttpAnswer &answer, const XmlReaderFactory &reader) {
  RuntimeSink sink;
  readAnswer(answer, L"RetrievePropertiesEx", reader, sink);
  return sink.runtime;
}

std::int32_t executionStateOf(const MachineRuntime &runtime) {
  if (runtime.connectionState && trimmed(*runtime.connectionState) != L"connected"sv)
    return 5;
  if (runtime.question)
    return 4;
  const std::wstring powerText = runtime.powerState.value_or(L"");
  const std::wstring_view power = trimmed(powerText);
  if (power == L"poweredOn"sv)
    return 1;
  if (power == L"poweredOff"sv)
    return 2;
  if (power == L"suspended"sv)
    return 3;
  throw adapterError(power.empty() ? L"The server did not report the machine's power state"
                                   : L"The server reported an unknown power state (" +
                                         std::wstring(power) + L")");
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

} // namespace brennow::vmserver::vsphere
