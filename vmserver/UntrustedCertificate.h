#pragma once
// The failure of a connection whose server presented a certificate that is neither
// trusted by the system for that host name nor the one pinned by "THUMB".
#include <string>

#include "common/AutomationError.h"

namespace brennow::vmserver {

class UntrustedCertificate : public AutomationError {
public:
  // `thumbprint`: the presented certificate's SHA-256 thumbprint, 64 upper-case hex
  // digits without separators, as it is pasted into "THUMB". `pinnedMismatch`: a
  // thumbprint was pinned and the server presented another certificate.
  UntrustedCertificate(std::wstring thumbprint, bool pinnedMismatch);

  const std::wstring &thumbprint() const noexcept { return thumbprint_; }
  bool pinnedMismatch() const noexcept { return pinnedMismatch_; }

private:
  std::wstring thumbprint_;
  bool pinnedMismatch_;
};

} // namespace brennow::vmserver
