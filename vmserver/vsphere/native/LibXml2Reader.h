#pragma once
// The answers' pull reader over libxml2's text reader, for native tests and fuzzers.
#include "vmserver/vsphere/XmlReader.h"

namespace brennow::vmserver::vsphere {

std::unique_ptr<XmlReader> makeLibXml2Reader(std::string_view document);

} // namespace brennow::vmserver::vsphere
