#pragma once
// The answers' pull reader over the system's XmlLite, loaded when first needed (the
// toolchain ships its header but no import library).
#include "vmserver/vsphere/XmlReader.h"

namespace brennow::vmserver::vsphere {

// Readers that share one load of xmllite.dll, made when the first is and let go with the
// factory and its last reader. A reader throws AutomationError when XmlLite cannot be
// loaded, XmlReadError for the document.
XmlReaderFactory xmlLiteReaders();

} // namespace brennow::vmserver::vsphere
