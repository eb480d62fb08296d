// Long runs in one process: thousands of checks against the stand-in server and thousands
// of objects created and destroyed. After a warm-up, the process's private bytes, handles
// and USER and GDI objects stay where they were; no stand-in object outlives its check;
// at the end the library can be unloaded and is. BRENNOW_SOAK_SCALE (a whole number,
// default 1) multiplies the number of rounds.
#include <windows.h>

#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "params/AnsiCodePage.h"
#include "params/Generic.h"
#include "params/base64.h"
#include "standin/ComValues.h"
#include "tests/wine/ProcessResources.h"
#include "tests/wine/wintest.h"

using Microsoft::WRL::ComPtr;
using standin::Variant;

namespace {

int soakScale() {
  const auto value = standin::environmentValue(L"BRENNOW_SOAK_SCALE");
  const int scale = value ? std::wcstol(value->c_str(), nullptr, 10) : 1;
  return scale > 0 ? scale : 1;
}

using wintest::toUtf8;

// ---------------------------------------------------------------- the stand-in

// Machines in each state and with each kind of failure, a server without machines and a
// server that refuses every connection: the checks go down every path.
constexpr char kInventory[] = R"(host soak.example.test
user monitor
password s3cret!
machine 1 web01
machine 2 db01
machine 3 batch
machine 1 unreachable
fault machine-connect errorinfo The virtual machine is not responding
machine 1 locked
fault state deferred The state cannot be read
host empty.example.test
user monitor
password s3cret!
host down.example.test
user monitor
password s3cret!
fault connect immediate The host is not responding
)";

// ---------------------------------------------------------------- checks

struct Scenario {
  const wchar_t *host;
  const wchar_t *password;
  const wchar_t *vm;
  const wchar_t *state;
  bool answer;
  const wchar_t *resultStart; // the message's fixed beginning
  const wchar_t *resultEnd;   // and its fixed end
};

const Scenario kScenarios[] = {
    {L"soak.example.test", L"s3cret!", L"", L"", true, L"5 registered",
     L" virtual machine(s) on this server"},
    {L"soak.example.test", L"s3cret!", L"web01", L"on", true, L"Virtual machine (web01) is on",
     L"on"},
    {L"soak.example.test", L"s3cret!", L"db01", L"on", false, L"Virtual machine (db01) is in a ",
     L" while it should be on"},
    {L"soak.example.test", L"s3cret!", L"nowhere", L"on", false,
     L"Can't get the state of this (nowhere)", L"not listed as a known one"},
    {L"soak.example.test", L"wrong", L"", L"", false, L"ERR: ", L"(at  130)"},
    {L"soak.example.test", L"s3cret!", L"unreachable", L"on", false,
     L"ERR: The virtual machine is not responding", L"(at  390)"},
    {L"soak.example.test", L"s3cret!", L"locked", L"on", false, L"ERR: The state cannot be read",
     L"(at  400)"},
    {L"empty.example.test", L"s3cret!", L"web01", L"on", false,
     L"No registered virtual machines on this server", L"server"},
    {L"down.example.test", L"s3cret!", L"", L"", false, L"ERR: The host is not responding",
     L"(at  130)"},
};

std::wstring parameterFor(const Scenario &scenario) {
  return brennow::buildParameterString(
      {L"monitor", brennow::base64Encode(scenario.password, brennow::systemAnsiCodePage()),
       scenario.vm, scenario.state});
}

// One check as a host runs it; false (with a test failure) when the outcome is not the
// scenario's or a stand-in object outlived it.
bool checkOnce(IDispatch *plugin, const Scenario &scenario, const std::wstring &parameter) {
  const Variant host = Variant::fromText(scenario.host), text = Variant::fromText(parameter);
  Variant answer, result;
  if (wintest::putProperty(plugin, L"qm_hostname", *host.get()) != S_OK ||
      wintest::putProperty(plugin, L"qm_parameter", *text.get()) != S_OK ||
      wintest::invoke(plugin, L"qm_docheck", DISPATCH_METHOD, {}, answer.get()) != S_OK ||
      wintest::invoke(plugin, L"qm_result", DISPATCH_PROPERTYGET, {}, result.get()) != S_OK) {
    ADD_FAILURE() << "a call failed";
    return false;
  }
  const std::wstring message = wintest::text(*result.get());
  const bool asExpected =
      V_VT(answer.get()) == VT_BOOL &&
      V_BOOL(answer.get()) == (scenario.answer ? VARIANT_TRUE : VARIANT_FALSE) &&
      message.starts_with(scenario.resultStart) && message.ends_with(scenario.resultEnd) &&
      wintest::standinLiveObjects() == 0;
  EXPECT_TRUE(asExpected) << toUtf8(scenario.host) << " " << toUtf8(scenario.vm) << ": "
                          << toUtf8(message)
                          << " (stand-in objects alive: " << wintest::standinLiveObjects() << ")";
  return asExpected;
}

constexpr std::size_t kScenarioCount = std::size(kScenarios);

class SoakTest : public testing::Test {
protected:
  void SetUp() override { files_.writeInventory(wintest::fromUtf8(kInventory)); }

  wintest::StandinFiles files_{"brennow-soak"};
  int scale_ = soakScale();
};

TEST_F(SoakTest, ThousandsOfChecksKeepTheProcessFlat) {
  const std::size_t warmUp = 20 * kScenarioCount;
  const std::size_t rounds = 800 * kScenarioCount * static_cast<std::size_t>(scale_);
  std::vector<std::wstring> parameters;
  for (const auto &scenario : kScenarios)
    parameters.push_back(parameterFor(scenario));

  ComPtr<IDispatch> plugin = wintest::createPlugin();
  ASSERT_TRUE(plugin) << "brennow.vmwarecom cannot be created: is brennow.dll registered?";
  const auto run = [&](std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      if (!checkOnce(plugin.Get(), kScenarios[i % kScenarioCount], parameters[i % kScenarioCount]))
        return false;
    }
    return true;
  };
  ASSERT_TRUE(run(warmUp));
  const wintest::ProcessResources before = wintest::processResources();
  ASSERT_TRUE(run(rounds));
  const wintest::ProcessResources after = wintest::processResources();
  std::printf("  %zu checks\n", rounds);
  wintest::expectFlat(before, after, rounds);
}

// A host's object life: created by ProgID, given its properties, sometimes checked, released.
TEST_F(SoakTest, ThousandsOfObjectsCreatedAndDestroyedKeepTheProcessFlat) {
  const std::size_t warmUp = 50;
  const std::size_t rounds = 6000 * static_cast<std::size_t>(scale_);
  const std::wstring parameter = parameterFor(kScenarios[1]);
  const Variant timeout = Variant::fromText(L"30");
  const auto cycle = [&](std::size_t i) {
    ComPtr<IDispatch> plugin = wintest::createPlugin();
    if (!plugin) {
      ADD_FAILURE() << "creation " << i << " failed";
      return false;
    }
    if (wintest::putProperty(plugin.Get(), L"qm_timeout", *timeout.get()) != S_OK) {
      ADD_FAILURE() << "qm_timeout put failed";
      return false;
    }
    return i % 10 != 0 || checkOnce(plugin.Get(), kScenarios[1], parameter);
  };
  const auto run = [&](std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i) {
      if (!cycle(i))
        return false;
    }
    return true;
  };
  ASSERT_TRUE(run(0, warmUp));
  const wintest::ProcessResources before = wintest::processResources();
  ASSERT_TRUE(run(warmUp, rounds));
  const wintest::ProcessResources after = wintest::processResources();
  std::printf("  %zu objects\n", rounds);
  wintest::expectFlat(before, after, rounds);
  EXPECT_EQ(wintest::standinLiveObjects(), 0);
}

// When the last object is gone the library says it can go, and the system unloads it.
TEST_F(SoakTest, LibraryUnloadsWhenTheLastObjectIsGone) {
  {
    ComPtr<IDispatch> plugin = wintest::createPlugin();
    ASSERT_TRUE(plugin);
    checkOnce(plugin.Get(), kScenarios[0], parameterFor(kScenarios[0]));
  }
  const HMODULE dll = GetModuleHandleW(L"brennow.dll");
  ASSERT_TRUE(dll) << "brennow.dll was not loaded by creating its object";
  const auto canUnloadNow = reinterpret_cast<HRESULT(WINAPI *)()>(
      reinterpret_cast<void (*)()>(GetProcAddress(dll, "DllCanUnloadNow")));
  ASSERT_TRUE(canUnloadNow);
  EXPECT_EQ(canUnloadNow(), S_OK);
  CoFreeUnusedLibrariesEx(0, 0);
  EXPECT_EQ(GetModuleHandleW(L"brennow.dll"), nullptr) << "brennow.dll is still loaded";
  EXPECT_EQ(wintest::standinLiveObjects(), 0);
}

} // namespace
