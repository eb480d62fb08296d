#include "vmserver/vsphere/win/XmlLiteReader.h"

#include <windows.h>
#include <objidl.h>
#include <shlwapi.h>
#include <wrl/client.h>
#include <xmllite.h>

#include "vmserver/vsphere/Errors.h"
#include "vmserver/vsphere/win/PoolMalloc.h"
#include "vmserver/vsphere/win/SystemLibrary.h"

using Microsoft::WRL::ComPtr;

namespace brennow::vmserver::vsphere {
namespace {

using CreateXmlReaderFunction = HRESULT(WINAPI *)(REFIID, void **, IMalloc *);

// xmllite.dll and its reader constructor, held as long as a reader made from it lives.
class XmlLiteLibrary {
public:
  XmlLiteLibrary()
      : library_(L"xmllite.dll"),
        create_(library_.function<CreateXmlReaderFunction>("CreateXmlReader")) {}

  // The reader allocates through `malloc`, which must outlive it.
  ComPtr<IXmlReader> createReader(IMalloc &malloc) const {
    ComPtr<IXmlReader> reader;
    if (FAILED(create_(__uuidof(IXmlReader), reinterpret_cast<void **>(reader.GetAddressOf()),
                       &malloc)))
      throw adapterError(L"The system's XML reader (xmllite.dll) cannot be created");
    return reader;
  }

private:
  SystemLibrary library_;
  CreateXmlReaderFunction create_;
};

void setProperty(IXmlReader &reader, XmlReaderProperty property, LONG_PTR value) {
  if (FAILED(reader.SetProperty(property, value)))
    throw adapterError(L"The system's XML reader (xmllite.dll) refuses its limits");
}

class XmlLiteReader final : public XmlReader {
public:
  XmlLiteReader(std::shared_ptr<const XmlLiteLibrary> library, std::string_view document)
      : library_(std::move(library)), reader_(library_->createReader(malloc_)) {
    if (document.size() > UINT_MAX)
      throw XmlReadError(XmlReadError::Kind::Malformed);
    ComPtr<IStream> stream;
    *stream.GetAddressOf() = SHCreateMemStream(reinterpret_cast<const BYTE *>(document.data()),
                                               static_cast<UINT>(document.size()));
    if (!stream)
      throw adapterError(L"Out of memory");
    setProperty(*reader_.Get(), XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit);
    // Not every XmlLite takes these; the answers' walk bounds the depth itself, and without
    // a document type there is no entity to expand.
    reader_->SetProperty(XmlReaderProperty_MaxElementDepth, kMaxElementDepth);
    reader_->SetProperty(XmlReaderProperty_MaxEntityExpansion, 0);
    if (FAILED(reader_->SetInput(stream.Get())))
      throw XmlReadError(XmlReadError::Kind::Malformed);
  }

  XmlNode next() override {
    for (;;) {
      XmlNodeType type = XmlNodeType_None;
      const HRESULT hr = reader_->Read(&type);
      if (hr == S_FALSE)
        return XmlNode::EndOfDocument;
      if (FAILED(hr))
        throw XmlReadError(kindOf(hr));
      switch (type) {
      case XmlNodeType_Element:
        readName();
        empty_ = reader_->IsEmptyElement() != FALSE;
        return XmlNode::StartElement;
      case XmlNodeType_EndElement:
        readName();
        return XmlNode::EndElement;
      case XmlNodeType_Text:
      case XmlNodeType_CDATA:
      case XmlNodeType_Whitespace:
        copyString(&IXmlReader::GetValue, text_);
        return XmlNode::Text;
      case XmlNodeType_DocumentType:
        throw XmlReadError(XmlReadError::Kind::DocumentType);
      default:
        break; // declaration, comments, processing instructions
      }
    }
  }

  std::wstring_view localName() const override { return localName_; }
  // Looked up only when asked: Wine's XmlLite walks every namespace declaration read so far
  // to answer it.
  std::wstring_view namespaceUri() const override {
    if (!namespaceRead_) {
      copyString(&IXmlReader::GetNamespaceUri, namespaceUri_);
      namespaceRead_ = true;
    }
    return namespaceUri_;
  }
  bool isEmptyElement() const override { return empty_; }

  // Found by walking the attributes and comparing qualified names (an attribute without a
  // prefix is named by its local name alone): Wine's XmlLite answers a lookup by name, a prefix,
  // or the local name of a namespace declaration by walking every declaration read so far.
  std::optional<std::wstring_view> attribute(std::wstring_view localName) const override {
    bool found = false;
    for (HRESULT hr = reader_->MoveToFirstAttribute(); hr == S_OK && !found;
         hr = reader_->MoveToNextAttribute()) {
      const WCHAR *text = nullptr;
      UINT length = 0;
      if (FAILED(reader_->GetQualifiedName(&text, &length)) ||
          std::wstring_view(text, length) != localName)
        continue;
      copyString(&IXmlReader::GetValue, attribute_);
      found = true;
    }
    reader_->MoveToElement();
    if (!found)
      return std::nullopt;
    return attribute_;
  }

  TypeAttributes typeAttributes() const override {
    TypeAttributes types;
    for (HRESULT hr = reader_->MoveToFirstAttribute(); hr == S_OK;
         hr = reader_->MoveToNextAttribute()) {
      const WCHAR *text = nullptr;
      UINT length = 0;
      if (FAILED(reader_->GetQualifiedName(&text, &length)))
        continue;
      const std::wstring_view name(text, length);
      if (name == L"type") {
        copyString(&IXmlReader::GetValue, referenceType_);
        types.reference = referenceType_;
      } else if (name.size() > 5 && name.ends_with(L":type")) {
        copyString(&IXmlReader::GetValue, schemaType_);
        types.schema = schemaType_;
      }
    }
    reader_->MoveToElement();
    return types;
  }

  std::wstring_view text() const override { return text_; }

private:
  static XmlReadError::Kind kindOf(HRESULT hr) {
    if (hr == static_cast<HRESULT>(WC_E_DTDPROHIBITED))
      return XmlReadError::Kind::DocumentType;
    if (hr == static_cast<HRESULT>(SC_E_MAXELEMENTDEPTH))
      return XmlReadError::Kind::TooDeep;
    return XmlReadError::Kind::Malformed;
  }

  // One of the reader's strings of the current node into `into`, whose memory is kept for the
  // next one.
  using StringGetter = HRESULT (STDMETHODCALLTYPE IXmlReader::*)(const WCHAR **, UINT *);
  void copyString(StringGetter get, std::wstring &into) const {
    const WCHAR *text = nullptr;
    UINT length = 0;
    if (FAILED((reader_.Get()->*get)(&text, &length)))
      throw XmlReadError(XmlReadError::Kind::Malformed);
    into.assign(text, length);
  }

  void readName() {
    copyString(&IXmlReader::GetLocalName, localName_);
    namespaceRead_ = false;
  }

  std::shared_ptr<const XmlLiteLibrary> library_; // outlives the reader below
  PoolMalloc malloc_;                             // so does the reader's memory
  ComPtr<IXmlReader> reader_;
  std::wstring localName_;
  mutable std::wstring namespaceUri_;
  mutable bool namespaceRead_ = false;
  std::wstring text_;
  mutable std::wstring attribute_;
  mutable std::wstring referenceType_;
  mutable std::wstring schemaType_;
  bool empty_ = false;
};

} // namespace

XmlReaderFactory xmlLiteReaders() {
  auto loaded = std::make_shared<std::shared_ptr<const XmlLiteLibrary>>();
  return [loaded](std::string_view document) -> std::unique_ptr<XmlReader> {
    if (!*loaded)
      *loaded = std::make_shared<const XmlLiteLibrary>();
    return std::make_unique<XmlLiteReader>(*loaded, document);
  };
}

} // namespace brennow::vmserver::vsphere
