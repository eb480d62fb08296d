#include "tests/native/vsphere/CheckRuns.h"

#include <gtest/gtest.h>

#include "component/vsphereCheck.h"
#include "params/Generic.h"
#include "params/base64.h"
#include "vmserver/vsphere/VSphereAutomation.h"
#include "vmserver/vsphere/native/LibXml2Reader.h"

namespace brennow::testing {

std::wstring vsphereParameters(const std::wstring &password, const std::wstring &vm,
                               const std::wstring &state, const std::wstring &thumb,
                               const std::wstring &checkFields) {
  return buildVSphereParameterString({L"alice", base64Encode(password, windows1252()), vm, state},
                                     thumb) +
         checkFields;
}

CheckRun runCheckOn(FakeVSphere &server, const std::wstring &parameter, const std::wstring &timeout,
                    const std::wstring &hostname) {
  RecordingHost host;
  host.hostname = hostname;
  host.parameter = parameter;
  const vmserver::ServerChoice choice = vmserver::serverChoiceOf(parameter, timeout);
  const vmserver::vsphere::Platform platform{server.transportFactory(),
                                             vmserver::vsphere::makeLibXml2Reader};
  CheckRun run;
  if (vmserver::asksVSphereCheck(choice)) {
    run.answer = runVSphereCheck(host, choice, platform, windows1252());
  } else {
    vmserver::vsphere::VSphereAutomation automation(choice, platform);
    run.answer = runCheck(host, automation, windows1252());
  }
  if (!host.results.empty())
    run.result = host.results.back();
  return run;
}

void expectReleased(const FakeVSphere &server) {
  EXPECT_TRUE(server.liveSessions.empty()) << "a session was left logged in";
  EXPECT_TRUE(server.liveViews.empty()) << "a view was left behind";
}

} // namespace brennow::testing
