#pragma once
// Whether a connection's certificate is accepted: the pinned one when a thumbprint is set (the
// operator's explicit trust, whatever the system thinks of it), otherwise one whose chain the
// system trusts for the server's name and that its CA has not revoked. Where the revocation
// status cannot be had (no list, no network) the certificate is accepted: monitoring hosts
// often have no way out to a CA; the lists are fetched for a few seconds at most, and never past
// the deadline. Safe to call from WinHTTP's worker threads.
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vmserver/vsphere/win/HttpApi.h"

namespace brennow::vmserver::vsphere {

struct CertificateVerdict {
  bool accepted = false;
  // The presented certificate's SHA-256 thumbprint, for the refusal's message.
  std::wstring thumbprint;
  bool pinnedMismatch = false;
};

class ServerTrust {
public:
  ServerTrust(SharedHttpApi api, std::wstring serverName, std::optional<std::wstring> thumbprint);

  bool pinned() const noexcept { return thumbprint_.has_value(); }

  // Revocation lists are fetched for at most the time left until `deadline`.
  CertificateVerdict judge(const CERT_CONTEXT &certificate,
                           std::chrono::steady_clock::time_point deadline) const;

  // The certificate of the connection `request` goes out on, or was sent on; null when
  // WinHTTP has none.
  Certificate certificateOf(HINTERNET request) const;

  // Throws AutomationError when the digest cannot be computed.
  std::wstring thumbprintOf(const CERT_CONTEXT &certificate) const;

private:
  bool systemTrusts(const CERT_CONTEXT &certificate,
                    std::chrono::steady_clock::time_point deadline) const;
  // Null when no chain can be built.
  CertificateChain chainOf(const CERT_CONTEXT &certificate, bool checkRevocation,
                           std::chrono::steady_clock::time_point deadline) const;
  DWORD sslPolicyError(const CERT_CHAIN_CONTEXT &chain) const;
  // Whether `certificate` is, byte for byte, the one accepted last.
  bool acceptedBefore(const CERT_CONTEXT &certificate) const;
  void remember(const CERT_CONTEXT &certificate) const;

  SharedHttpApi api_;
  std::wstring serverName_;
  std::optional<std::wstring> thumbprint_;
  mutable std::mutex mutex_;
  // The last certificate accepted (the pinned one, or one the system's check accepted): a
  // check's requests go out on one connection, and its chain is built, or its digest computed,
  // once.
  mutable std::vector<BYTE> trustedCertificate_;
};

} // namespace brennow::vmserver::vsphere
