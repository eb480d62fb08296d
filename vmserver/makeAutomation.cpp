#include "vmserver/makeAutomation.h"

#include "vmserver/DispatchAutomation.h"
#include "vmserver/vsphere/VSphereAutomation.h"
#include "vmserver/vsphere/win/WinHttpTransport.h"
#include "vmserver/vsphere/win/XmlLiteReader.h"

namespace brennow::vmserver {

std::unique_ptr<Automation> makeAutomation(const ServerChoice &choice) {
  if (choice.kind == ServerKind::VSphere)
    return std::make_unique<vsphere::VSphereAutomation>(
        choice, vsphere::Platform{vsphere::makeWinHttpTransport, vsphere::xmlLiteReaders()});
  return std::make_unique<DispatchAutomation>();
}

} // namespace brennow::vmserver
