#pragma once
// The server adapter a check or a listing talks through, as the parameter string's
// "VSTP" field chooses it: the automation component, or the vSphere Web Services API.
#include <memory>

#include "vmserver/ServerChoice.h"
#include "vmserver/VMServer.h"
#include "vmserver/vsphere/VSphereAutomation.h"

namespace brennow::vmserver {

std::unique_ptr<Automation> makeAutomation(const ServerChoice &choice);

// What the vSphere adapter and checks talk through on Windows: WinHTTP and XmlLite.
vsphere::Platform windowsVSpherePlatform();

} // namespace brennow::vmserver
