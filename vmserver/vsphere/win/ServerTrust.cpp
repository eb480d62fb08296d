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

// What a chain that the system trusts may still report when its revocation status could not
// be had: accepted, as the class comment says.
bool revocationUnknown(DWORD policyError) {
  return policyError == static_cast<DWORD>(CRYPT_E_NO_REVOCATION_CHECK) ||
         policyError == static_cast<DWORD>(CRYPT_E_REVOCATION_OFFLINE);
}

DWORD millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<DWORD>(std::max<long long>(1, left.count()));
}

} // namespace

ServerTrust::ServerTrust(SharedHttpApi api, std::wstring serverName,
                         std::optional<std::wstring> thumbprint)
    : api_(std::move(api)), serverName_(std::move(serverName)), thumbprint_(std::move(thumbprint)) {
}

CertificateVerdict ServerTrust::judge(const CERT_CONTEXT &certificate,
                                      std::chrono::steady_clock::time_point deadline) const {
  if (thumbprint_) {
    std::wstring presented = thumbprintOf(certificate);
    const bool matches = presented == *thumbprint_;
    return {matches, std::move(presented), !matches};
  }
  if (systemTrusts(certificate, deadline))
    return {true, {}, false};
  return {false, thumbprintOf(certificate), false};
}

bool ServerTrust::systemTrusts(const CERT_CONTEXT &certificate,
                               std::chrono::steady_clock::time_point deadline) const {
  const std::span<const BYTE> encoded(certificate.pbCertEncoded, certificate.cbCertEncoded);
  {
    const std::lock_guard guard(mutex_);
    if (std::ranges::equal(encoded, trustedCertificate_))
      return true;
  }
  LPSTR serverAuthentication = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
  CERT_CHAIN_PARA chainPara{};
  chainPara.cbSize = sizeof chainPara;
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuthentication;
  chainPara.dwUrlRetrievalTimeout = millisecondsUntil(deadline);
  const DWORD flags =
      CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
  PCCERT_CHAIN_CONTEXT built = nullptr;
  if (!api_->CertGetCertificateChain(nullptr, &certificate, nullptr, certificate.hCertStore,
                                     &chainPara, flags, nullptr, &built) ||
      !built)
    return false;
  const CertificateChain chain(built, {api_->CertFreeCertificateChain});
  if (chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_REVOKED)
    return false;
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
  if (!api_->CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policyPara,
                                              &status) ||
      (status.dwError != 0 && !revocationUnknown(status.dwError)))
    return false;
  const std::lock_guard guard(mutex_);
  trustedCertificate_.assign(encoded.begin(), encoded.end());
  return true;
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
