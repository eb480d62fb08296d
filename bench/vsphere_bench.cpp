// vsphere-bench: one check through the vSphere Web Services adapter (log in, read what the
// check judges, log out), as a monitoring host that stays loaded runs it: one
// brennow.vmwarecom object, its properties set once, qm_docheck through IDispatch again and
// again. By default the check of one named machine's state; --check names another (CHK's value,
// its thresholds at their defaults), --datastore its datastore.
//
//   vsphere-bench --host URL --user U --password P --vm NAME --state S --thumbprint HEX
//                 [--check NAME] [--datastore NAME] [--checks N]
//
// Prints one line of name=value pairs for scripts/bench: the time of the first check, the
// median and mean of the others, and the process's committed private memory after the first
// tenth of the checks, after half of them and at the end. Exit code 0 when every check
// answered True, 1 otherwise, 64 for bad options.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/benchMain.h"
#include "common/AutomationError.h"
#include "common/win/automation.h"
#include "component/brennow_h.h"
#include "params/AnsiCodePage.h"
#include "params/VSphereChecks.h"
#include "params/base64.h"

using Microsoft::WRL::ComPtr;
using namespace brennow;
using bench::printLine;
using bench::secondsNow;

namespace {

struct Options {
  std::wstring host, user, password, vm, state, thumbprint, check, datastore;
  int checks = 100;
};

// The keys of the check --check names, after THUMB; none for the machine state.
std::wstring checkKeys(const Options &options) {
  if (options.check.empty())
    return {};
  std::wstring keys = L"CHK=" + options.check + L"#";
  if (!options.datastore.empty())
    keys += L"DSN=" + options.datastore + L"#";
  return keys;
}

// A host's object: created once, its properties set once, then checked again and again.
// Members are called late-bound, their DISPIDs looked up once, as a host that caches them.
class HostedCheck {
public:
  explicit HostedCheck(const Options &options) {
    win::throwIfFailed(
        CoCreateInstance(CLSID_vmwarecom, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&plugin_)));
    putText(L"qm_hostname", options.host);
    putText(L"qm_timeout", L"30");
    putText(L"qm_parameter", L"#VSTP=VSPHERE#USR=" + options.user + L"#PWD=" +
                                 base64Encode(options.password, systemAnsiCodePage()) + L"#VMN=" +
                                 options.vm + L"#VMS=" + options.state + L"#THUMB=" +
                                 options.thumbprint + L"#" + checkKeys(options));
    docheck_ = dispid(L"qm_docheck");
    result_ = dispid(L"qm_result");
  }

  // Runs qm_docheck; true when it answered True.
  bool run() {
    win::Variant answer;
    call(docheck_, DISPATCH_METHOD, nullptr, answer.get());
    return V_VT(answer.get()) == VT_BOOL && V_BOOL(answer.get()) == VARIANT_TRUE;
  }

  std::wstring result() {
    win::Variant value;
    call(result_, DISPATCH_PROPERTYGET, nullptr, value.get());
    return win::variantText(*value.get());
  }

private:
  DISPID dispid(const wchar_t *member) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(member);
    win::throwIfFailed(plugin_->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
    return id;
  }

  void call(DISPID id, WORD flags, VARIANT *argument, VARIANT *result) {
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS params{argument, argument ? &putId : nullptr, argument ? 1u : 0u,
                      argument ? 1u : 0u};
    win::throwIfFailed(plugin_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                                       nullptr, nullptr));
  }

  void putText(const wchar_t *member, const std::wstring &text) {
    win::Variant value = win::Variant::fromText(text);
    call(dispid(member), DISPATCH_PROPERTYPUT, value.get(), nullptr);
  }

  ComPtr<IDispatch> plugin_;
  DISPID docheck_ = DISPID_UNKNOWN;
  DISPID result_ = DISPID_UNKNOWN;
};

int measure(const Options &options) {
  HostedCheck check(options);
  std::vector<double> times;
  bench::MemoryReadings memory(options.checks);
  double processorSince = 0;
  int answered = 0;
  for (int i = 1; i <= options.checks; ++i) {
    const double start = secondsNow();
    answered += check.run() ? 1 : 0;
    times.push_back(secondsNow() - start);
    memory.afterCheck(i);
    if (i == 1)
      processorSince = bench::processorSeconds();
    if (i == 1 && answered == 0) {
      printLine(L"error=unexpected-result result=" + check.result());
      return 1;
    }
  }
  std::wstring line = L"checks=" + std::to_wstring(options.checks) + L" answered=" +
                      std::to_wstring(answered) + L" " + bench::timesText(times) +
                      bench::processorText(processorSince, options.checks) + memory.text();
  printLine(line);
  return answered == options.checks ? 0 : 1;
}

constexpr wchar_t kUsage[] = L"usage: vsphere-bench --host URL --user U --password P --vm NAME"
                             L" --state S --thumbprint HEX [--check NAME] [--datastore NAME]"
                             L" [--checks N]";

std::optional<Options> parseOptions(int argc, wchar_t **argv) {
  Options options;
  const std::map<std::wstring, std::wstring *> texts = {
      {L"--host", &options.host},         {L"--user", &options.user},
      {L"--password", &options.password}, {L"--vm", &options.vm},
      {L"--state", &options.state},       {L"--thumbprint", &options.thumbprint},
      {L"--check", &options.check},       {L"--datastore", &options.datastore}};
  if (!bench::readOptions(argc, argv, texts, options.checks))
    return std::nullopt;
  // The machine state is measured on a named machine; another check needs one where it
  // requires its object (a guest), and may take every machine elsewhere.
  const CheckDescription *check = checkNamed(options.check);
  const bool needsMachine =
      check && (check->check == VSphereCheck::MachineState || check->objectRequired);
  if (!check || options.host.empty() || (needsMachine && options.vm.empty()) || options.checks < 1)
    return std::nullopt;
  return options;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  return bench::benchMain(argc, argv, kUsage, parseOptions,
                          [](const Options &options) { return measure(options); });
}
