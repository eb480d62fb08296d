// The chain parameters' retrieval timeout is declared only with this.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "vmserver/vsphere/win/ServerTrust.h"

#include <algorithm>
#include <array>
#include <span>

#include "vmserver/vsphere/Endpoint.h"
#include "vmserver/vsphere/Errors.h"

namespace brennow::vmserver::vsphere {
namespace {

// The chain's own word for "the revocation status could not be had".
constexpr DWORD kRevocationUnknown =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

// What the SSL policy answers for a chain whose revocation status could not be had (Wine's
// policy does not honour the flags that ignore it).
bool revocationUnknown(DWORD policyError) {
  return policyError == static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK) ||
         policyError == static_cast<DWORD>(CRYPT_E_REVOCATION_OFFLINE) ||
         policyError == static_cast<DWORD>(CERT_E_REVOCATION_FAILURE);
}

// Revocation lists are fetched for at most this long, and never past the deadline.
constexpr std::chrono::milliseconds kMostRetrieval{3'000};

DWORD retrievalTimeout(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<DWORD>(std::clamp<long long>(left.count(), 1, kMostRetrieval.count()));
}

// The certificates found revoked in this process, refused from then on: Wine's revocation
// cache answers "not revoked" for a certificate once it has answered "revoked" (measured under
// Wine 8). A revocation is for good; the list is bounded.
class RevokedCertificates {
public:
  void add(std::span<const BYTE> encoded) {
    const std::lock_guard guard(mutex_);
    if (contains(encoded))
      return;
    if (revoked_.size() == kMost)
      revoked_.erase(revoked_.begin());
    revoked_.emplace_back(encoded.begin(), encoded.end());
  }
  bool has(std::span<const BYTE> encoded) const {
    const std::lock_guard guard(mutex_);
    return contains(encoded);
  }

private:
  static constexpr std::size_t kMost = 64;
  bool contains(std::span<const BYTE> encoded) const {
    return std::ranges::any_of(
        revoked_, [&](const auto &revoked) { return std::ranges::equal(revoked, encoded); });
  }
  mutable std::mutex mutex_;
  std::vector<std::vector<BYTE>> revoked_;
};

RevokedCertificates &revokedCertificates() {
  static RevokedCertificates revoked;
  return revoked;
}

} // namespace

ServerTrust::ServerTrust(SharedHttpApi api, std::wstring serverName,
                         std::optional<std::wstring> thumbprint)
    : api_(std::move(api)), serverName_(std::move(serverName)), thumbprint_(std::move(thumbprint)) {
}

CertificateVerdict ServerTrust::judge(const CERT_CONTEXT &certificate,
                                      std::chrono::steady_clock::time_point deadline) const {
  if (thumbprint_) {
    if (acceptedBefore(certificate))
      return {true, *thumbprint_, false};
    std::wstring presented = thumbprintOf(certificate);
    const bool matches = presented == *thumbprint_;
    if (matches)
      remember(certificate);
    return {matches, std::move(presented), !matches};
  }
  if (systemTrusts(certificate, deadline))
    return {true, {}, false};
  return {false, thumbprintOf(certificate), false};
}

bool ServerTrust::systemTrusts(const CERT_CONTEXT &certificate,
                               std::chrono::steady_clock::time_point deadline) const {
  const std::span<const BYTE> encoded(certificate.pbCertEncoded, certificate.cbCertEncoded);
  if (acceptedBefore(certificate))
    return true;
  if (revokedCertificates().has(encoded))
    return false;
  const CertificateChain checked = chainOf(certificate, true, deadline);
  if (!checked)
    return false;
  if (checked->TrustStatus.dwErrorStatus & CERT_TRUST_IS_REVOKED) {
    revokedCertificates().add(encoded);
    return false;
  }
  DWORD policyError = sslPolicyError(*checked);
  // An unknown revocation status is accepted: the chain is judged again without it, so that
  // nothing else it would report (the name, the root) hides behind it.
  if (policyError != 0 && revocationUnknown(policyError) &&
      (checked->TrustStatus.dwErrorStatus & ~kRevocationUnknown) == 0) {
    const CertificateChain unchecked = chainOf(certificate, false, deadline);
    policyError = unchecked ? sslPolicyError(*unchecked) : policyError;
  }
  if (policyError != 0)
    return false;
  remember(certificate);
  return true;
}

bool ServerTrust::acceptedBefore(const CERT_CONTEXT &certificate) const {
  const std::span<const BYTE> encoded(certificate.pbCertEncoded, certificate.cbCertEncoded);
  const std::lock_guard guard(mutex_);
  return !trustedCertificate_.empty() && std::ranges::equal(encoded, trustedCertificate_);
}

void ServerTrust::remember(const CERT_CONTEXT &certificate) const {
  const std::lock_guard guard(mutex_);
  trustedCertificate_.assign(certificate.pbCertEncoded,
                             certificate.pbCertEncoded + certificate.cbCertEncoded);
}

CertificateChain ServerTrust::chainOf(const CERT_CONTEXT &certificate, bool checkRevocation,
                                      std::chrono::steady_clock::time_point deadline) const {
  LPSTR serverAuthentication = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof chainPara;
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuthentication;
  chainPara.dwUrlRetrievalTimeout = retrievalTimeout(deadline);
  const DWORD flags = checkRevocation ? CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                                            CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT
                                      : 0;
  PCCERT_CHAIN_CONTEXT built = nullptr;
  if (!api_->CertGetCertificateChain(nullptr, &certificate, nullptr, certificate.hCertStore,
                                     &chainPara, flags, nullptr, &built))
    built = nullptr;
  return CertificateChain(built, {api_->CertFreeCertificateChain});
}

DWORD ServerTrust::sslPolicyError(const CERT_CHAIN_CONTEXT &chain) const {
  HTTPSPolicyCallbackData ssl{};
  ssl.cbStruct = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = const_cast<wchar_t *>(serverName_.c_str());
  CERT_CHAIN_POLICY_PARA policyPara{};
  policyPara.cbSize = sizeof policyPara;
  policyPara.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
  policyPara.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  if (!api_->CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, &chain, &policyPara, &status))
    return static_cast<DWORD>(CERT_E_UNTRUSTEDROOT);
  return status.dwError;
}

Certificate ServerTrust::certificateOf(HINTERNET request) const {
  PCCERT_CONTEXT context = nullptr;
  DWORD size = sizeof context;
  if (!api_->WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &context, &size))
    context = nullptr;
  return Certificate(context, {api_->CertFreeCertificateContext});
}

std::wstring ServerTrust::thumbprintOf(const CERT_CONTEXT &certificate) const {
  std::array<BYTE, 32> digest{};
  DWORD digestSize = digest.size();
  if (!api_->CryptHashCertificate2(L"SHA256", 0, nullptr, certificate.pbCertEncoded,
                                   certificate.cbCertEncoded, digest.data(), &digestSize) ||
      digestSize != digest.size())
    throw adapterError(L"The server certificate's SHA-256 thumbprint cannot be computed");
  return thumbprintText(digest.data(), digest.size());
}

} // namespace brennow::vmserver::vsphere
