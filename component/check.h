#pragma once
// The availability check behind qm_docheck, written against the host's properties
// and the server adapter so that it runs the same over the real automation
// component and over test fakes.
#include <new>
#include <string>

#include "common/AutomationError.h"
#include "params/AnsiCodePage.h"
#include "vmserver/VMServer.h"

namespace brennow {

// The plug-in object's side of a check: its stored properties and its result setter.
// Every member may throw AutomationError (a value that cannot be taken as text).
class CheckHost {
public:
  virtual ~CheckHost() = default;
  virtual void copyTimeout() = 0;
  virtual void copyHostname() = 0;
  // The copied host name as text.
  virtual std::wstring hostnameText() = 0;
  // The stored parameter string as text, read afresh on every call.
  virtual std::wstring parameterText() = 0;
  // Writes qm_result through the object's own put accessor.
  virtual void setResult(const std::wstring &message) = 0;
};

// Runs one check: True when the server answers with registered machines (no machine
// named) or the named machine is in the expected state. Every failure ends in False
// and "ERR: <description>(at  <statement>)" in the result; nothing is thrown.
bool runCheck(CheckHost &host, vmserver::Automation &automation, const AnsiCodePage &codePage);

// "ERR: <description>(at  <statement>)", the report of a failed statement.
std::wstring errorReport(const std::wstring &description, int statement);

// The answer of `run.check()`; any failure goes to `run.reportError(description)` instead, and
// the answer is False: a check never throws to the host.
template <typename CheckRun> bool answerOf(CheckRun &run) {
  try {
    return run.check();
  } catch (const AutomationError &error) {
    run.reportError(error.description());
  } catch (const std::bad_alloc &) {
    run.reportError(L"Out of memory");
  } catch (...) {
    run.reportError(L"Unexpected failure");
  }
  return false;
}

} // namespace brennow
