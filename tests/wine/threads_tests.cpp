// Several single-threaded apartments at once, each with objects of its own, running checks
// against the stand-in at the same time. Every thread has its own host on the stand-in
// (its own account, machines, machine count and failure texts), so any result or error
// description that crossed from one thread to another shows as a wrong message.
// Failures come in the error-information and the deferred styles. The per-thread
// newParameter shows only through the settings dialog and is tested there.
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "params/AnsiCodePage.h"
#include "params/Generic.h"
#include "params/base64.h"
#include "standin/ComValues.h"
#include "tests/wine/wintest.h"

using Microsoft::WRL::ComPtr;
using standin::Variant;

namespace {

constexpr int kThreads = 4;
constexpr int kRoundsPerThread = 150;

std::wstring number(int n) { return std::to_wstring(n); }

// ---------------------------------------------------------------- each thread's world

std::wstring hostOf(int thread) { return L"thread" + number(thread) + L".example.test"; }
std::wstring userOf(int thread) { return L"user-" + number(thread); }
std::wstring passwordOf(int thread) { return L"pass word " + number(thread); }
std::wstring machineOf(int thread, const wchar_t *which) {
  return L"vm-" + number(thread) + L"-" + which;
}
int extraMachines(int thread) { return thread; }
int machineCount(int thread) { return 4 + extraMachines(thread); }

// Machine "a" of each thread is in another of the four states.
constexpr std::array<const wchar_t *, 4> kStateNames = {L"on", L"off", L"suspended", L"stuck"};
int stateCodeOf(int thread) { return thread % 4 + 1; }
std::wstring stateNameOf(int thread) { return kStateNames[static_cast<std::size_t>(thread % 4)]; }

std::wstring hostBlock(int thread) {
  std::wstring block = L"host " + hostOf(thread) + L"\nuser " + userOf(thread) + L"\npassword " +
                       passwordOf(thread) + L"\n";
  block += L"machine " + number(stateCodeOf(thread)) + L" " + machineOf(thread, L"a") + L"\n";
  block += L"machine 1 " + machineOf(thread, L"b") + L"\n";
  block += L"machine 1 " + machineOf(thread, L"broken") + L"\n";
  block +=
      L"fault machine-connect errorinfo Thread " + number(thread) + L" machine is not responding\n";
  block += L"machine 2 " + machineOf(thread, L"locked") + L"\n";
  block += L"fault state deferred Thread " + number(thread) + L" state cannot be read\n";
  for (int extra = 0; extra < extraMachines(thread); ++extra)
    block += L"machine 2 " + machineOf(thread, L"extra") + number(extra) + L"\n";
  // Every connect of this host waits a moment, so that the threads' calls interleave.
  block += L"delay connect 1\n";
  return block;
}

std::wstring inventory() {
  std::wstring text;
  for (int thread = 0; thread < kThreads; ++thread)
    text += hostBlock(thread);
  return text;
}

// ---------------------------------------------------------------- what each thread checks

struct Case {
  std::wstring parameter;
  bool answer;
  std::wstring result;
};

std::wstring parameterString(int thread, const std::wstring &password, const std::wstring &vm,
                             const std::wstring &state) {
  return brennow::buildParameterString(
      {userOf(thread), brennow::base64Encode(password, brennow::systemAnsiCodePage()), vm, state});
}

using wintest::errorReport;

// The thread's cases, with the exact message each must give.
std::vector<Case> casesOf(int thread) {
  const std::wstring password = passwordOf(thread);
  const std::wstring a = machineOf(thread, L"a"), b = machineOf(thread, L"b");
  const std::wstring othersMachine = machineOf((thread + 1) % kThreads, L"a");
  return {
      {parameterString(thread, password, L"", L""), true,
       number(machineCount(thread)) + L" registered virtual machine(s) on this server"},
      {parameterString(thread, password, a, stateNameOf(thread)), true,
       L"Virtual machine (" + a + L") is " + stateNameOf(thread)},
      {parameterString(thread, password, b, L"off"), false,
       L"Virtual machine (" + b + L") is in a on state while it should be off"},
      {parameterString(thread, password, othersMachine, L"on"), false,
       L"Can't get the state of this (" + othersMachine +
           L") virtual machine, it's not listed as a known one"},
      {parameterString(thread, password, machineOf(thread, L"broken"), L"on"), false,
       errorReport(L"Thread " + number(thread) + L" machine is not responding", 390)},
      {parameterString(thread, password, machineOf(thread, L"locked"), L"on"), false,
       errorReport(L"Thread " + number(thread) + L" state cannot be read", 400)},
      {parameterString(thread, L"not " + password, L"", L""), false,
       errorReport(L"Incorrect user name or password for host " + hostOf(thread), 130)},
  };
}

// ---------------------------------------------------------------- one thread's run

struct ThreadReport {
  int checks = 0;
  std::vector<std::string> mismatches;
  std::chrono::steady_clock::time_point started, finished;
};

// One check on `plugin` with the thread's host; the message when it is not the case's.
std::optional<std::wstring> mismatch(IDispatch *plugin, const std::wstring &host, const Case &c) {
  const Variant hostValue = Variant::fromText(host), parameter = Variant::fromText(c.parameter);
  Variant answer, result;
  if (wintest::putProperty(plugin, L"qm_hostname", *hostValue.get()) != S_OK ||
      wintest::putProperty(plugin, L"qm_parameter", *parameter.get()) != S_OK ||
      wintest::invoke(plugin, L"qm_docheck", DISPATCH_METHOD, {}, answer.get()) != S_OK ||
      wintest::invoke(plugin, L"qm_result", DISPATCH_PROPERTYGET, {}, result.get()) != S_OK)
    return L"a call failed";
  const std::wstring message = wintest::text(*result.get());
  const bool answered = V_VT(answer.get()) == VT_BOOL &&
                        V_BOOL(answer.get()) == (c.answer ? VARIANT_TRUE : VARIANT_FALSE);
  if (answered && message == c.result)
    return std::nullopt;
  return (answered ? L"" : L"wrong answer; ") + message + L" instead of " + c.result;
}

// The thread's own apartment and two objects of its own, used in turn.
void runThread(int thread, std::latch &start, ThreadReport &report) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    std::array<ComPtr<IDispatch>, 2> plugins = {wintest::createPlugin(), wintest::createPlugin()};
    const std::vector<Case> cases = casesOf(thread);
    const std::wstring host = hostOf(thread);
    start.arrive_and_wait();
    report.started = std::chrono::steady_clock::now();
    for (int round = 0; round < kRoundsPerThread && plugins[0] && plugins[1]; ++round) {
      for (std::size_t i = 0; i < cases.size(); ++i) {
        IDispatch *plugin = plugins[(static_cast<std::size_t>(round) + i) % plugins.size()].Get();
        if (const auto wrong = mismatch(plugin, host, cases[i]))
          report.mismatches.push_back(wintest::toUtf8(*wrong));
        ++report.checks;
      }
    }
    report.finished = std::chrono::steady_clock::now();
    if (!plugins[0] || !plugins[1])
      report.mismatches.push_back("brennow.vmwarecom cannot be created on this thread");
  }
  CoUninitialize();
}

TEST(Threads, ApartmentsCheckAtTheSameTimeWithoutCrossTalk) {
  // No thread has loaded the library yet: the first creations race with each other's
  // CoInitializeEx, as in a host that starts several checking threads at once.
  const wintest::StandinFiles files("brennow-threads");
  files.writeInventory(inventory());
  std::array<ThreadReport, kThreads> reports;
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread)
    threads.emplace_back(runThread, thread, std::ref(start),
                         std::ref(reports[static_cast<std::size_t>(thread)]));
  for (auto &thread : threads)
    thread.join();

  for (int thread = 0; thread < kThreads; ++thread) {
    const ThreadReport &report = reports[static_cast<std::size_t>(thread)];
    SCOPED_TRACE("thread " + std::to_string(thread));
    EXPECT_EQ(report.checks, kRoundsPerThread * 7);
    EXPECT_TRUE(report.mismatches.empty())
        << report.mismatches.size() << " wrong results, the first: " << report.mismatches.front();
  }
  // The threads ran at the same time: each started before any had finished.
  const auto lastStart = std::max_element(reports.begin(), reports.end(), [](auto &x, auto &y) {
                           return x.started < y.started;
                         })->started;
  const auto firstEnd = std::min_element(reports.begin(), reports.end(), [](auto &x, auto &y) {
                          return x.finished < y.finished;
                        })->finished;
  EXPECT_LT(lastStart, firstEnd) << "the threads did not overlap";
  EXPECT_EQ(wintest::standinLiveObjects(), 0);
}

} // namespace
