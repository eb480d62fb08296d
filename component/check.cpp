#include "component/check.h"

#include <cstdint>
#include <memory>
#include <new>

#include "common/AutomationError.h"
#include "common/text.h"
#include "params/Generic.h"
#include "params/Keys.h"
#include "params/base64.h"

namespace brennow {
namespace {

using namespace vmserver;

// The working values of one run. The automation objects are released explicitly in
// the documented orders; whatever is still held goes when the run returns.
struct Run {
  Run(CheckHost &h, Automation &a, const AnsiCodePage &c) : host(h), automation(a), codePage(c) {}

  CheckHost &host;
  Automation &automation;
  const AnsiCodePage &codePage;
  int statement = 0; // the number quoted by an error report
  std::unique_ptr<ConnectParams> params;
  std::unique_ptr<Server> server;
  std::unique_ptr<VmList> list;
  std::unique_ptr<Machine> machine;

  void at(int number) { statement = number; }

  // Releases on a normal exit: the list, the parameters, the server. Releasing cannot fail.
  void releaseAll() noexcept {
    list.reset();
    params.reset();
    server.reset();
  }

  bool check();
  bool searchAndCompare(const std::wstring &vmName, const std::wstring &expectedState);
  void reportError(const std::wstring &description);
};

bool Run::check() {
  at(20);
  host.copyTimeout();
  at(30);
  host.copyHostname();
  at(40);
  const std::wstring username = getParam(host.parameterText(), keys::User);
  at(50);
  const std::wstring password =
      base64Decode(getParam(host.parameterText(), keys::Password), codePage);
  at(60);
  const std::wstring vmName = getParam(host.parameterText(), keys::Machine);
  at(70);
  const std::wstring expectedState = getParam(host.parameterText(), keys::State);
  at(80);
  params = automation.createConnectParams();
  at(90);
  server = automation.createServer();
  at(100);
  params->setHostname(host.hostnameText());
  at(110);
  params->setUsername(username);
  at(120);
  params->setPassword(password);
  at(130);
  server->connect(*params);
  at(140);
  list = server->registeredVmNames();

  at(150);
  if (list->count() == 0) {
    at(160);
    host.setResult(L"No registered virtual machines on this server");
    releaseAll(); // 170 - 220
    return false;
  }
  if (vmName.empty()) {
    at(260);
    host.setResult(trimSpaces(numberText(list->count())) +
                   L" registered virtual machine(s) on this server");
    releaseAll(); // 270 - 320
    return true;
  }
  return searchAndCompare(vmName, expectedState);
}

bool Run::searchAndCompare(const std::wstring &vmName, const std::wstring &expectedState) {
  std::wstring currentState = L"unknown"; // 350: short enough to need no memory
  at(360);
  // The bound is taken once; statement 420 moves i past it after the first match.
  const std::int64_t bound = list->count();
  for (std::int64_t i = 1; i <= bound; ++i) {
    at(370);
    if (vmName == list->item(static_cast<std::int32_t>(i))) {
      at(380);
      machine = automation.createMachine();
      at(390);
      machine->connect(*params, list->item(static_cast<std::int32_t>(i)));
      at(400);
      currentState = VMStateName(machine->executionState());
      machine.reset(); // 410
      at(420);
      i = static_cast<std::int64_t>(list->count()) + 2;
    }
  }

  bool answer = false;
  std::wstring message;
  if (expectedState == currentState) {
    at(460);
    message = L"Virtual machine (" + vmName + L") is " + currentState;
    answer = true;
  } else {
    if (currentState == L"unknown") {
      at(500);
      message = L"Can't get the state of this (" + vmName +
                L") virtual machine, it's not listed as a known one";
    } else {
      at(520);
      message = L"Virtual machine (" + vmName + L") is in a " + currentState +
                L" state while it should be " + expectedState;
    }
    answer = false;
  }
  at(560);
  host.setResult(message);
  releaseAll(); // 570 - 610
  return answer;
}

// The error handler: the report, then the parameters and the server; the list and a
// machine object left behind go when the run ends.
void Run::reportError(const std::wstring &description) {
  try {
    host.setResult(errorReport(description, statement));
  } catch (...) {
    // The result could not be written; the answer is False all the same.
  }
  params.reset();
  server.reset();
}

} // namespace

std::wstring errorReport(const std::wstring &description, int statement) {
  return L"ERR: " + description + L"(at " + numberText(statement) + L")";
}

bool runCheck(CheckHost &host, vmserver::Automation &automation, const AnsiCodePage &codePage) {
  Run run(host, automation, codePage);
  return answerOf(run);
}

} // namespace brennow
