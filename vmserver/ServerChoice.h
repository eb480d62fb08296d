#pragma once
// Which server adapter a check or a listing talks through, read from the parameter
// string's "VSTP" field: "VSPHERE" (any letter case) is the vSphere Web Services API,
// anything else ("VMWARE", empty, absent) the VMware automation component.
#include <string>

namespace brennow::vmserver {

enum class ServerKind { Automation, VSphere };

ServerKind serverKindOf(const std::wstring &parameterText);

// What choosing and configuring an adapter needs beyond the connection texts.
struct ServerChoice {
  ServerKind kind = ServerKind::Automation;
  // "THUMB" as stored: the SHA-256 thumbprint of the certificate the operator trusts.
  std::wstring thumbprint;
  // qm_timeout as text: a positive whole number of seconds, anything else means 60.
  std::wstring timeoutText;
  // "CHK" as stored: which vSphere check; empty for the machine state.
  std::wstring check{};
};

ServerChoice serverChoiceOf(const std::wstring &parameterText, const std::wstring &timeoutText);

// Whether the choice asks a vSphere server for one of its own checks (CHK not empty) rather
// than the machine state that both adapters answer.
bool asksVSphereCheck(const ServerChoice &choice);

} // namespace brennow::vmserver
