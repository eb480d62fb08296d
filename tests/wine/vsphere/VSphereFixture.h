#pragma once
// What the vSphere suites share: the simulators scripts/test starts (their URLs in
// SIM_URL_<NAME>), a client that talks to one directly, parameter strings as the settings
// dialog writes them, and a fixture that runs one check as a host runs it and then asks the
// simulator whether the check left a session behind.
#include <windows.h>

#include <winhttp.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "tests/wine/wintest.h"

namespace vspheretest {

// The simulators' certificate: Go's fixed test certificate, which Wine's chain does not trust.
inline constexpr wchar_t kSimThumbprint[] =
    L"448F628A8A65AA18560E53A80C53ACB38C51B427DF0334082349141147DC9BF6";
inline constexpr wchar_t kUser[] = L"monitor";
inline constexpr wchar_t kPassword[] = L"s3cret!";

// SIM_URL_<name>, empty when it is not set.
std::wstring simUrl(std::wstring_view name);

// "127.0.0.1:PORT" of a simulator URL.
std::wstring hostAndPort(const std::wstring &url);

// A WinHTTP handle, closed with its owner.
class HttpHandle {
public:
  explicit HttpHandle(HINTERNET handle = nullptr) noexcept : handle_(handle) {}
  HttpHandle(const HttpHandle &) = delete;
  HttpHandle &operator=(const HttpHandle &) = delete;
  ~HttpHandle() {
    if (handle_)
      WinHttpCloseHandle(handle_);
  }
  HINTERNET get() const noexcept { return handle_; }

private:
  HINTERNET handle_;
};

// Test plumbing that talks to a simulator directly, taking its certificate as it is. WinHTTP
// keeps the session cookie between the requests of one client.
class SimulatorClient {
public:
  explicit SimulatorClient(const std::wstring &url);

  // The status and body of one request; nothing when it failed.
  std::optional<std::pair<DWORD, std::string>> request(const wchar_t *verb, const wchar_t *path,
                                                       std::string body = {});

  // A SOAP call of `method` on the ESX SessionManager; the HTTP status.
  DWORD sessionManagerCall(const std::string &method, const std::string &arguments = {});

private:
  bool tls_ = false;
  std::unique_ptr<HttpHandle> session_;
  std::unique_ptr<HttpHandle> connection_;
};

// The simulator's live sessions (GET /brennow/sessions); nothing when it cannot be asked.
std::optional<int> liveSessions(const std::wstring &url);

// The web-service requests the simulator has received since it started (GET
// /brennow/requests; its own /brennow/ pages not counted); nothing when it cannot be asked.
std::optional<int> requestsReceived(const std::wstring &url);

struct Account {
  const wchar_t *user = kUser;
  const wchar_t *password = kPassword;
};

// The string the settings dialog writes for the vSphere adapter.
std::wstring vsphereParameters(const std::wstring &vm, const std::wstring &state,
                               const std::wstring &thumbprint = kSimThumbprint,
                               Account account = {}, const std::wstring &serverType = L"VSPHERE");

// One check as a host runs it; after the test, no session is left on the simulator it talked
// to (unless the test says it asks none: asksSessions_ = false).
class VSphereTest : public testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  void putText(const wchar_t *property, std::wstring_view text);

  // A check of `hostname`, which is the simulator at `simulatorUrl` when that is given.
  wintest::CheckOutcome check(const std::wstring &hostname, const std::wstring &parameters,
                              const wchar_t *timeout = L"20",
                              const std::wstring &simulatorUrl = L"");

  // The simulator `name`'s URL; a missing simulator is a failure, never a skip.
  std::wstring url(std::wstring_view name);

  Microsoft::WRL::ComPtr<IDispatch> plugin_;
  std::wstring checkedUrl_;
  bool asksSessions_ = true;
};

} // namespace vspheretest
