// check-bench: what a check costs beyond the automation calls it makes, measured under
// Wine against the stand-in server (registered, inventory in BRENNOW_STANDIN_INVENTORY).
//
//   check-bench cost --host H --user U --password P --vm NAME [--seconds S] [--min-rounds R]
//     Alternates a host-style check (qm_docheck through IDispatch on one brennow.vmwarecom
//     object) with the bare sequence of late-bound calls that check makes, done directly on
//     the stand-in, and prints the median time of each.
//   check-bench load plugin|standin --host H --user U --password P --vm NAME
//     In a fresh process: the time from the first CoCreateInstance to the first answer,
//     either through brennow.vmwarecom or through the stand-in alone.
//
// Output is one line of name=value pairs for scripts/bench. Exit code 0 when every run
// gave the expected answer, 1 otherwise, 64 for bad options.
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/benchMain.h"
#include "common/AutomationError.h"
#include "common/win/automation.h"
#include "component/brennow_h.h"
#include "params/AnsiCodePage.h"
#include "params/Generic.h"
#include "params/base64.h"
#include "standin/Guids.h"

using Microsoft::WRL::ComPtr;
using namespace brennow;
using bench::number;
using bench::printLine;
using bench::secondsNow;

namespace {

struct Options {
  std::wstring mode;
  std::wstring loadKind;
  std::wstring host;
  std::wstring user;
  std::wstring password;
  std::wstring vm;
  double seconds = 3.0;
  int minRounds = 5;
};

// ------------------------------------------------------------------ late-bound calls

// One late-bound call through the same path the component's adapter takes, so that the
// bare sequence below costs what the check's own calls cost. Failures throw AutomationError.
void invoke(IDispatch *object, const wchar_t *member, WORD flags,
            std::initializer_list<VARIANT> arguments, VARIANT *result = nullptr) {
  win::callByName(object, member, flags, {arguments.begin(), arguments.size()}, result);
}

using win::int32Argument;
using win::objectArgument;
using win::textArgument;

void putText(IDispatch *object, const wchar_t *member, const std::wstring &text) {
  const win::Bstr value(text);
  invoke(object, member, DISPATCH_PROPERTYPUT, {textArgument(value)});
}

LONG getInt32(IDispatch *object, const wchar_t *member) {
  win::Variant result;
  invoke(object, member, DISPATCH_PROPERTYGET, {}, result.get());
  win::throwIfFailed(VariantChangeType(result.get(), result.get(), 0, VT_I4));
  return V_I4(result.get());
}

ComPtr<IDispatch> create(REFCLSID clsid, REFIID held) {
  ComPtr<IUnknown> object;
  win::throwIfFailed(CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_PPV_ARGS(&object)));
  ComPtr<IDispatch> dispatch;
  win::throwIfFailed(
      object->QueryInterface(held, reinterpret_cast<void **>(dispatch.GetAddressOf())));
  return dispatch;
}

// ------------------------------------------------------------------ the two contenders

// The calls the check makes, in its order, straight on the stand-in: create the
// parameters and the server, set the account, connect, list, count, walk the items up to
// the named machine, read its state. Returns the machine's state code, or the count when
// no machine is named.
LONG bareSequence(const Options &options) {
  ComPtr<IDispatch> params = create(standin::clsidConnectParams, standin::iidConnectParams);
  ComPtr<IDispatch> server = create(standin::clsidServer, standin::iidServerHeld);
  putText(params.Get(), L"Hostname", options.host);
  putText(params.Get(), L"Username", options.user);
  putText(params.Get(), L"Password", options.password);
  invoke(server.Get(), L"Connect", DISPATCH_METHOD, {objectArgument(params.Get())});
  win::Variant listResult;
  invoke(server.Get(), L"RegisteredVmNames", DISPATCH_PROPERTYGET, {}, listResult.get());
  if (V_VT(listResult.get()) != VT_DISPATCH || !V_DISPATCH(listResult.get()))
    throw std::runtime_error("RegisteredVmNames gave no object");
  ComPtr<IDispatch> list;
  win::throwIfFailed(V_DISPATCH(listResult.get())
                         ->QueryInterface(standin::iidMachineList,
                                          reinterpret_cast<void **>(list.GetAddressOf())));
  if (getInt32(list.Get(), L"Count") == 0 || options.vm.empty())
    return getInt32(list.Get(), L"Count");

  const LONG bound = getInt32(list.Get(), L"Count");
  for (LONG i = 1; i <= bound; ++i) {
    win::Variant item;
    invoke(list.Get(), L"Item", DISPATCH_PROPERTYGET, {int32Argument(i)}, item.get());
    if (V_VT(item.get()) != VT_BSTR ||
        std::wstring_view(V_BSTR(item.get()), SysStringLen(V_BSTR(item.get()))) != options.vm)
      continue;
    ComPtr<IDispatch> machine = create(standin::clsidMachine, standin::iidMachineHeld);
    win::Variant again;
    invoke(list.Get(), L"Item", DISPATCH_PROPERTYGET, {int32Argument(i)}, again.get());
    invoke(machine.Get(), L"Connect", DISPATCH_METHOD,
           {objectArgument(params.Get()), *again.get()});
    const LONG state = getInt32(machine.Get(), L"ExecutionState");
    machine.Reset();
    getInt32(list.Get(), L"Count");
    return state;
  }
  return -1;
}

std::wstring parameterString(const Options &options) {
  ParameterFields fields;
  fields.username = options.user;
  fields.encodedPassword = base64Encode(options.password, systemAnsiCodePage());
  fields.vmName = options.vm;
  fields.vmState = L"on";
  return buildParameterString(fields);
}

// A host's object: created once, its properties set once, then checked again and again.
class HostedCheck {
public:
  explicit HostedCheck(const Options &options) {
    win::throwIfFailed(
        CoCreateInstance(CLSID_vmwarecom, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&plugin_)));
    putText(plugin_.Get(), L"qm_hostname", options.host);
    putText(plugin_.Get(), L"qm_timeout", L"30");
    putText(plugin_.Get(), L"qm_parameter", parameterString(options));
  }

  // Runs qm_docheck; true when it answered True.
  bool run() {
    win::Variant answer;
    invoke(plugin_.Get(), L"qm_docheck", DISPATCH_METHOD, {}, answer.get());
    return V_VT(answer.get()) == VT_BOOL && V_BOOL(answer.get()) == VARIANT_TRUE;
  }

  std::wstring result() {
    win::Variant value;
    invoke(plugin_.Get(), L"qm_result", DISPATCH_PROPERTYGET, {}, value.get());
    return win::variantText(*value.get());
  }

private:
  ComPtr<IDispatch> plugin_;
};

// ------------------------------------------------------------------ timing

template <typename Body> double timed(Body &&body) {
  const double start = secondsNow();
  body();
  return secondsNow() - start;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Check and bare sequence in turn, so that drift of the machine hits both alike.
int measureCost(const Options &options) {
  HostedCheck check(options);
  const std::wstring expected = L"Virtual machine (" + options.vm + L") is on";
  const auto checkOnce = [&] {
    if (!check.run())
      throw std::runtime_error("the check answered False");
  };
  const auto bareOnce = [&] {
    if (bareSequence(options) != 1)
      throw std::runtime_error("the bare sequence found no machine in state 1");
  };
  checkOnce(); // warm-up: loads the stand-in and the type library
  bareOnce();
  if (check.result() != expected) {
    printLine(L"error=unexpected-result result=" + check.result());
    return 1;
  }

  std::vector<double> checkTimes, bareTimes;
  const double start = secondsNow();
  while (static_cast<int>(checkTimes.size()) < options.minRounds ||
         secondsNow() - start < options.seconds) {
    checkTimes.push_back(timed(checkOnce));
    bareTimes.push_back(timed(bareOnce));
  }
  const double checkMedian = median(checkTimes), bareMedian = median(bareTimes);
  printLine(L"rounds=" + std::to_wstring(checkTimes.size()) + L" check_ms=" +
            number(checkMedian * 1e3) + L" bare_ms=" + number(bareMedian * 1e3) + L" ratio=" +
            number(checkMedian / bareMedian));
  return 0;
}

// One cold start: nothing of the component or the stand-in is loaded before the clock starts.
int measureLoad(const Options &options) {
  bool answered = false;
  double createSeconds = 0;
  const double total = timed([&] {
    if (options.loadKind == L"plugin") {
      std::optional<HostedCheck> check;
      createSeconds = timed([&] { check.emplace(options); });
      answered = check->run();
    } else {
      answered = bareSequence(options) == 1;
    }
  });
  printLine(L"kind=" + options.loadKind + L" first_answer_ms=" + number(total * 1e3) +
            L" create_ms=" + number(createSeconds * 1e3) + L" answered=" +
            (answered ? L"1" : L"0"));
  return answered ? 0 : 1;
}

// ------------------------------------------------------------------ options

constexpr wchar_t kUsage[] =
    L"usage: check-bench cost|load plugin|load standin --host H --user U --password P --vm NAME"
    L" [--seconds S] [--min-rounds R]";

std::optional<Options> parseOptions(int argc, wchar_t **argv) {
  if (argc < 2)
    return std::nullopt;
  Options options;
  options.mode = argv[1];
  int next = 2;
  if (options.mode == L"load") {
    if (argc < 3)
      return std::nullopt;
    options.loadKind = argv[next++];
    if (options.loadKind != L"plugin" && options.loadKind != L"standin")
      return std::nullopt;
  } else if (options.mode != L"cost") {
    return std::nullopt;
  }
  const std::map<std::wstring, std::wstring *> texts = {{L"--host", &options.host},
                                                        {L"--user", &options.user},
                                                        {L"--password", &options.password},
                                                        {L"--vm", &options.vm}};
  for (; next + 1 < argc; next += 2) {
    const std::wstring name = argv[next], value = argv[next + 1];
    if (const auto it = texts.find(name); it != texts.end())
      *it->second = value;
    else if (name == L"--seconds")
      options.seconds = std::wcstod(value.c_str(), nullptr);
    else if (name == L"--min-rounds")
      options.minRounds = static_cast<int>(std::wcstol(value.c_str(), nullptr, 10));
    else
      return std::nullopt;
  }
  if (next != argc || options.host.empty() || options.vm.empty())
    return std::nullopt;
  return options;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  return bench::benchMain(argc, argv, kUsage, parseOptions, [](const Options &options) {
    return options.mode == L"cost" ? measureCost(options) : measureLoad(options);
  });
}
