#include "vmserver/UntrustedCertificate.h"

namespace brennow::vmserver {
namespace {

// CERT_E_UNTRUSTEDROOT: what the system answers for a chain it does not trust.
constexpr std::int32_t kUntrustedHresult = static_cast<std::int32_t>(0x800B0109u);

std::wstring describe(const std::wstring &thumbprint, bool pinnedMismatch) {
  const std::wstring presented =
      L"the server presented a certificate with the SHA-256 thumbprint " + thumbprint;
  return pinnedMismatch
             ? L"The server's certificate no longer matches the pinned thumbprint: " + presented
             : L"The server's certificate is not trusted: " + presented +
                   L"; put it into THUMB to trust it";
}

} // namespace

UntrustedCertificate::UntrustedCertificate(std::wstring thumbprint, bool pinnedMismatch)
    : AutomationError(kUntrustedHresult, describe(thumbprint, pinnedMismatch)),
      thumbprint_(std::move(thumbprint)), pinnedMismatch_(pinnedMismatch) {}

} // namespace brennow::vmserver
