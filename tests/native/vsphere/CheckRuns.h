#pragma once
// One check as a host runs it, over the in-memory endpoint: the host's side that records
// every result written, parameter strings as the dialog writes them, and the session and
// views the endpoint still holds afterwards.
#include <string>
#include <vector>

#include "component/check.h"
#include "tests/native/vsphere/FakeVSphere.h"

namespace brennow::testing {

class RecordingHost final : public CheckHost {
public:
  std::wstring hostname = L"vc01";
  std::wstring parameter;
  std::vector<std::wstring> results;

  void copyTimeout() override {}
  void copyHostname() override {}
  std::wstring hostnameText() override { return hostname; }
  std::wstring parameterText() override { return parameter; }
  void setResult(const std::wstring &message) override { results.push_back(message); }
};

// "#VSTP=VSPHERE#USR=alice#PWD=...#VMN=...#VMS=...#THUMB=...#" and `checkFields` after it
// ("CHK=HOST#HSN=esx01#").
std::wstring vsphereParameters(const std::wstring &password, const std::wstring &vm,
                               const std::wstring &state, const std::wstring &thumb = L"",
                               const std::wstring &checkFields = L"");

struct CheckRun {
  bool answer = false;
  std::wstring result;
};

// The check qm_docheck runs for `parameter`: the machine state, or the vSphere check CHK names.
CheckRun runCheckOn(FakeVSphere &server, const std::wstring &parameter,
                    const std::wstring &timeout = L"", const std::wstring &hostname = L"vc01");

// Nothing of the run is left on the server.
void expectReleased(const FakeVSphere &server);

} // namespace brennow::testing
