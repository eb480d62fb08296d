#pragma once
// The answers' pull reader over the system's XmlLite, loaded when first needed (the
// toolchain ships its header but no import library).
#include "vmserver/vsphere/XmlReader.h"

namespace brennow::vmserver::vsphere {

// Throws AutomationError when XmlLite cannot be loaded, XmlReadError for the document.
std::unique_ptr<XmlReader> makeXmlLiteReader(std::string_view document);

} // namespace brennow::vmserver::vsphere
