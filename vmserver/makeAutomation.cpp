#include "vmserver/makeAutomation.h"

#include "vmserver/DispatchAutomation.h"
#include "vmserver/vsphere/win/WinHttpTransport.h"
#include "vmserver/vsphere/win/XmlLiteReader.h"

namespace brennow::vmserver {

vsphere::Platform windowsVSpherePlatform() {
  return {vsphere::makeWinHttpTransport, vsphere::xmlLiteReaders()};
}

std::unique_ptr<Automation> makeAutomation(const ServerChoice &choice) {
  if (choice.kind == ServerKind::VSphere)
    return std::make_unique<vsphere::VSphereAutomation>(choice, windowsVSpherePlatform());
  return std::make_unique<DispatchAutomation>();
}

} // namespace brennow::vmserver
