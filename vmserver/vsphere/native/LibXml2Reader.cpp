#include "vmserver/vsphere/native/LibXml2Reader.h"

#include <libxml/xmlreader.h>

#include "common/utf8.h"

namespace brennow::vmserver::vsphere {
namespace {

std::wstring wide(const xmlChar *text) {
  return text ? fromUtf8(reinterpret_cast<const char *>(text)) : std::wstring();
}

std::string_view narrow(const xmlChar *text) {
  return text ? std::string_view(reinterpret_cast<const char *>(text)) : std::string_view();
}

// Parse errors are reported through the read's result; nothing is printed.
void ignoreError(void *, const char *, xmlParserSeverities, xmlTextReaderLocatorPtr) {}

class LibXml2Reader final : public XmlReader {
public:
  explicit LibXml2Reader(std::string_view document) {
    if (document.size() > static_cast<std::size_t>(INT32_MAX))
      throw XmlReadError(XmlReadError::Kind::Malformed);
    reader_.reset(xmlReaderForMemory(document.data(), static_cast<int>(document.size()), nullptr,
                                     nullptr, XML_PARSE_NONET));
    if (!reader_)
      throw XmlReadError(XmlReadError::Kind::Malformed);
    xmlTextReaderSetErrorHandler(reader_.get(), ignoreError, nullptr);
  }

  XmlNode next() override {
    for (;;) {
      const int result = xmlTextReaderRead(reader_.get());
      if (result == 0)
        return XmlNode::EndOfDocument;
      if (result < 0)
        throw XmlReadError(XmlReadError::Kind::Malformed);
      switch (xmlTextReaderNodeType(reader_.get())) {
      case XML_READER_TYPE_ELEMENT:
        if (xmlTextReaderDepth(reader_.get()) >= kMaxElementDepth)
          throw XmlReadError(XmlReadError::Kind::TooDeep);
        readName();
        empty_ = xmlTextReaderIsEmptyElement(reader_.get()) == 1;
        return XmlNode::StartElement;
      case XML_READER_TYPE_END_ELEMENT:
        readName();
        return XmlNode::EndElement;
      case XML_READER_TYPE_TEXT:
      case XML_READER_TYPE_CDATA:
      case XML_READER_TYPE_WHITESPACE:
      case XML_READER_TYPE_SIGNIFICANT_WHITESPACE:
        text_ = wide(xmlTextReaderConstValue(reader_.get()));
        return XmlNode::Text;
      case XML_READER_TYPE_DOCUMENT_TYPE:
      case XML_READER_TYPE_ENTITY_REFERENCE:
      case XML_READER_TYPE_ENTITY:
        throw XmlReadError(XmlReadError::Kind::DocumentType);
      default:
        break; // comments, processing instructions
      }
    }
  }

  std::wstring_view localName() const override { return localName_; }
  std::wstring_view namespaceUri() const override { return namespaceUri_; }
  bool isEmptyElement() const override { return empty_; }
  std::optional<std::wstring_view> attribute(std::wstring_view localName) const override {
    const std::string name = toUtf8(localName);
    if (name.find(':') != std::string::npos)
      return std::nullopt;
    xmlChar *value =
        xmlTextReaderGetAttribute(reader_.get(), reinterpret_cast<const xmlChar *>(name.c_str()));
    if (!value)
      return std::nullopt;
    attribute_ = wide(value);
    xmlFree(value);
    return attribute_;
  }
  TypeAttributes typeAttributes() const override {
    TypeAttributes types;
    for (int more = xmlTextReaderMoveToFirstAttribute(reader_.get()); more == 1;
         more = xmlTextReaderMoveToNextAttribute(reader_.get())) {
      const std::string_view name = narrow(xmlTextReaderConstName(reader_.get()));
      if (name == "type") {
        referenceType_ = wide(xmlTextReaderConstValue(reader_.get()));
        types.reference = referenceType_;
      } else if (name.size() > 5 && name.ends_with(":type")) {
        schemaType_ = wide(xmlTextReaderConstValue(reader_.get()));
        types.schema = schemaType_;
      }
    }
    xmlTextReaderMoveToElement(reader_.get());
    return types;
  }
  std::wstring_view text() const override { return text_; }

private:
  struct Free {
    void operator()(xmlTextReaderPtr reader) const { xmlFreeTextReader(reader); }
  };

  void readName() {
    localName_ = wide(xmlTextReaderConstLocalName(reader_.get()));
    namespaceUri_ = wide(xmlTextReaderConstNamespaceUri(reader_.get()));
  }

  std::unique_ptr<xmlTextReader, Free> reader_;
  std::wstring localName_;
  std::wstring namespaceUri_;
  std::wstring text_;
  mutable std::wstring attribute_;
  mutable std::wstring referenceType_;
  mutable std::wstring schemaType_;
  bool empty_ = false;
};

} // namespace

std::unique_ptr<XmlReader> makeLibXml2Reader(std::string_view document) {
  return std::make_unique<LibXml2Reader>(document);
}

} // namespace brennow::vmserver::vsphere
