#pragma once
// The pull reader the answers are parsed through. On Windows it sits over XmlLite,
// natively over libxml2's text reader; tests and fuzzers feed it answers directly.
// Implementations refuse document type declarations and entity references, bound the
// element depth, and throw XmlReadError for anything that is not well-formed.
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace brennow::vmserver::vsphere {

class XmlReadError : public std::runtime_error {
public:
  enum class Kind { Malformed, DocumentType, TooDeep };
  explicit XmlReadError(Kind kind) : std::runtime_error("xml read error"), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

private:
  Kind kind_;
};

enum class XmlNode { StartElement, EndElement, Text, EndOfDocument };

class XmlReader {
public:
  virtual ~XmlReader() = default;
  // Moves to the next element start, element end or text (CDATA and whitespace included);
  // comments and processing instructions are skipped. An empty element gives a start
  // with isEmptyElement() and no end.
  virtual XmlNode next() = 0;
  // Of the current start or end element.
  virtual std::wstring_view localName() const = 0;
  virtual std::wstring_view namespaceUri() const = 0;
  virtual bool isEmptyElement() const = 0;
  // The current start element's attribute of that local name in no namespace, valid until
  // the next call of next() or attribute().
  virtual std::optional<std::wstring_view> attribute(std::wstring_view localName) const = 0;
  // The current start element's two type attributes, found in one walk of its attributes:
  // `type` in no namespace (a managed object reference's type) and the schema instance type
  // (xsi:type, under whatever prefix: vSphere answers carry no other prefixed attribute named
  // type). Valid until the next call of next(), attribute() or typeAttributes().
  struct TypeAttributes {
    std::optional<std::wstring_view> reference;
    std::optional<std::wstring_view> schema;
  };
  virtual TypeAttributes typeAttributes() const = 0;
  // Of the current text.
  virtual std::wstring_view text() const = 0;
};

// Element depth the readers allow; SOAP answers of this adapter are far shallower.
inline constexpr int kMaxElementDepth = 64;

// Makes a reader over a whole document held by the caller for the reader's lifetime.
using XmlReaderFactory = std::function<std::unique_ptr<XmlReader>(std::string_view document)>;

} // namespace brennow::vmserver::vsphere
