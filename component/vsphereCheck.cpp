#include "component/vsphereCheck.h"

#include <memory>
#include <new>
#include <variant>

#include "common/AutomationError.h"
#include "component/vsphere/Judging.h"
#include "params/Generic.h"
#include "params/Keys.h"
#include "params/VSphereChecks.h"
#include "params/base64.h"

namespace brennow {
namespace {

using namespace vspherecheck;

vspherecheck::Outcome judge(Reading &reading, const CheckSettings &settings) {
  switch (settings.check->check) {
  case VSphereCheck::Guest:
    return checkGuest(reading, settings);
  case VSphereCheck::Datastore:
    return checkDatastores(reading, settings);
  case VSphereCheck::Snapshot:
    return checkSnapshots(reading, settings);
  case VSphereCheck::Host:
    return checkHosts(reading, settings);
  case VSphereCheck::Alarm:
    return checkAlarms(reading, settings);
  case VSphereCheck::MachineState:
    break;
  }
  throw AutomationError(static_cast<std::int32_t>(0x80004005u),
                        L"The machine state is not a check of its own");
}

class Run {
public:
  Run(CheckHost &host, const vmserver::ServerChoice &choice,
      const vmserver::vsphere::Platform &platform, const AnsiCodePage &codePage)
      : host_(host), choice_(choice), platform_(platform), codePage_(codePage) {}

  bool check() {
    at(20);
    host_.copyTimeout();
    at(30);
    host_.copyHostname();
    at(40);
    const std::wstring username = getParam(host_.parameterText(), keys::User);
    at(50);
    const std::wstring password =
        base64Decode(getParam(host_.parameterText(), keys::Password), codePage_);
    at(vsphereStatement::ReadKeys);
    auto read = readCheckSettings(host_.parameterText());
    if (const auto *refusal = std::get_if<std::wstring>(&read))
      throw AutomationError(static_cast<std::int32_t>(0x80070057u), *refusal); // E_INVALIDARG
    const CheckSettings &settings = std::get<CheckSettings>(read);
    at(130);
    session_ = vmserver::vsphere::startSession(choice_, platform_, host_.hostnameText(), username,
                                               password);
    Reading reading{*session_, statement_};
    const Outcome outcome = judge(reading, settings);
    at(vsphereStatement::WriteResult);
    host_.setResult(outcome.message);
    session_.reset();
    return outcome.answer;
  }

  // The report first, then the session ends.
  void reportError(const std::wstring &description) noexcept {
    try {
      host_.setResult(errorReport(description, statement_));
    } catch (...) {
      // The result could not be written; the answer is False all the same.
    }
    session_.reset();
  }

private:
  void at(int number) { statement_ = number; }

  CheckHost &host_;
  const vmserver::ServerChoice &choice_;
  const vmserver::vsphere::Platform &platform_;
  const AnsiCodePage &codePage_;
  int statement_ = 0;
  std::unique_ptr<vmserver::vsphere::Session> session_;
};

} // namespace

bool runVSphereCheck(CheckHost &host, const vmserver::ServerChoice &choice,
                     const vmserver::vsphere::Platform &platform, const AnsiCodePage &codePage) {
  Run run(host, choice, platform, codePage);
  return answerOf(run);
}

} // namespace brennow
