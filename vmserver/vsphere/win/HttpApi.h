#pragma once
// The WinHTTP and CryptoAPI functions the transport calls, loaded once per transport, and the
// owners of what they hand out. A request that WinHTTP still works on after the transport gave
// up on it keeps the table alive through a shared pointer.
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <memory>

#include "vmserver/vsphere/win/SystemLibrary.h"

namespace brennow::vmserver::vsphere {

#define BRENNOW_SYSTEM_FUNCTION(library, name)                                                     \
  decltype(&::name) name = library.function<decltype(&::name)>(#name)

struct HttpApi {
  SystemLibrary winhttp{L"winhttp.dll"};
  SystemLibrary crypt32{L"crypt32.dll"};
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpOpen);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpSetTimeouts);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpSetOption);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpSetStatusCallback);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpConnect);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpOpenRequest);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpSendRequest);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpWriteData);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpReceiveResponse);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpQueryHeaders);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpQueryOption);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpReadData);
  BRENNOW_SYSTEM_FUNCTION(winhttp, WinHttpCloseHandle);
  BRENNOW_SYSTEM_FUNCTION(crypt32, CryptHashCertificate2);
  BRENNOW_SYSTEM_FUNCTION(crypt32, CertFreeCertificateContext);
  BRENNOW_SYSTEM_FUNCTION(crypt32, CertGetCertificateChain);
  BRENNOW_SYSTEM_FUNCTION(crypt32, CertVerifyCertificateChainPolicy);
  BRENNOW_SYSTEM_FUNCTION(crypt32, CertFreeCertificateChain);
};

#undef BRENNOW_SYSTEM_FUNCTION

using SharedHttpApi = std::shared_ptr<const HttpApi>;

struct InternetCloser {
  decltype(&::WinHttpCloseHandle) close;
  void operator()(HINTERNET handle) const noexcept { close(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

struct CertificateFree {
  decltype(&::CertFreeCertificateContext) release;
  void operator()(PCCERT_CONTEXT certificate) const noexcept { release(certificate); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

struct ChainFree {
  decltype(&::CertFreeCertificateChain) release;
  void operator()(PCCERT_CHAIN_CONTEXT chain) const noexcept { release(chain); }
};
using CertificateChain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

} // namespace brennow::vmserver::vsphere
