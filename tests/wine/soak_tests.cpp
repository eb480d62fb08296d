// Long runs in one process: thousands of checks against the stand-in server and thousands
// of objects created and destroyed. After a warm-up, the process's private bytes, handles
// and USER and GDI objects stay where they were; no stand-in object outlives its check;
// at the end the library can be unloaded and is. BRENNOW_SOAK_SCALE (a whole number,
// default 1) multiplies the number of rounds.
#include <windows.h>

#include <oleauto.h>
#include <psapi.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "params/AnsiCodePage.h"
#include "params/Generic.h"
#include "params/base64.h"
#include "standin/ComValues.h"
#include "tests/wine/wintest.h"

using Microsoft::WRL::ComPtr;
using standin::Variant;
namespace fs = std::filesystem;

namespace {

int soakScale() {
  const auto value = standin::environmentValue(L"BRENNOW_SOAK_SCALE");
  const int scale = value ? std::wcstol(value->c_str(), nullptr, 10) : 1;
  return scale > 0 ? scale : 1;
}

std::string utf8(std::wstring_view text) { return standin::utf8FromWide(text); }

// ---------------------------------------------------------------- what the process holds

// Each figure from the documented counter; where the platform leaves that counter at zero
// (Wine 8 implements none of the four), from a count of the same objects made here.
struct Resources {
  std::size_t privateBytes = 0;
  std::size_t handles = 0;
  std::size_t userObjects = 0;
  std::size_t gdiObjects = 0;
};

// Committed memory that belongs to this process alone: what PrivateUsage counts.
std::size_t committedPrivateBytes() {
  std::size_t total = 0;
  MEMORY_BASIC_INFORMATION region{};
  for (auto *address = static_cast<char *>(nullptr);
       VirtualQuery(address, &region, sizeof region) == sizeof region;) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
      total += region.RegionSize;
    char *next = static_cast<char *>(region.BaseAddress) + region.RegionSize;
    if (next <= address)
      break;
    address = next;
  }
  return total;
}

std::size_t privateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(GetCurrentProcess(),
                           reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                           sizeof counters) &&
      counters.PrivateUsage > 0)
    return counters.PrivateUsage;
  return committedPrivateBytes();
}

// Open handles, found by asking for each handle value's flags. Handle values are multiples
// of 4 handed out from the lowest free one, so the search may stop well past the last.
std::size_t probedHandles() {
  constexpr ULONG_PTR kStep = 4, kBeyondLast = 4096 * kStep;
  std::size_t count = 0;
  ULONG_PTR last = 0;
  for (ULONG_PTR value = kStep; value <= last + kBeyondLast; value += kStep) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++count;
      last = value;
    }
  }
  return count;
}

std::size_t handles() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0)
    return count;
  return probedHandles();
}

// Windows of this process: top-level ones with their descendants, and message-only ones.
std::size_t processWindows() {
  struct Counter {
    std::size_t windows = 0;
    static BOOL CALLBACK child(HWND, LPARAM self) {
      ++reinterpret_cast<Counter *>(self)->windows;
      return TRUE;
    }
    static BOOL CALLBACK topLevel(HWND window, LPARAM self) {
      DWORD process = 0;
      GetWindowThreadProcessId(window, &process);
      if (process == GetCurrentProcessId()) {
        ++reinterpret_cast<Counter *>(self)->windows;
        EnumChildWindows(window, child, self);
      }
      return TRUE;
    }
  } counter;
  EnumWindows(Counter::topLevel, reinterpret_cast<LPARAM>(&counter));
  for (HWND window = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); window;
       window = FindWindowExW(HWND_MESSAGE, window, nullptr, nullptr))
    Counter::topLevel(window, reinterpret_cast<LPARAM>(&counter));
  return counter.windows;
}

std::size_t userObjects() {
  const DWORD count = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
  return count > 0 ? count : processWindows();
}

// Wine keeps GDI objects in a table of this process, indexed by the handle's low word; a
// handle without its high word matches whatever generation the entry is in.
std::size_t probedGdiObjects() {
  std::size_t count = 0;
  for (ULONG_PTR index = 1; index <= 0xFFFF; ++index) {
    if (GetObjectType(reinterpret_cast<HGDIOBJ>(index)) != 0)
      ++count;
  }
  return count;
}

std::size_t gdiObjects() {
  const DWORD count = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  return count > 0 ? count : probedGdiObjects();
}

Resources resources() { return {privateBytes(), handles(), userObjects(), gdiObjects()}; }

// Which of the figures come from the system's counters and which were counted here.
std::string sources() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                       sizeof counters);
  DWORD handleCount = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handleCount);
  const auto from = [](bool system, const char *counter, const char *fallback) {
    return std::string(system ? counter : fallback);
  };
  return from(counters.PrivateUsage > 0, "PrivateUsage", "committed private regions") + ", " +
         from(handleCount > 0, "GetProcessHandleCount", "open handle values") + ", " +
         from(GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS) > 0, "GR_USEROBJECTS",
              "windows of the process") +
         ", " +
         from(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS) > 0, "GR_GDIOBJECTS",
              "GDI table entries");
}

std::string describe(const Resources &r) {
  return "private bytes " + std::to_string(r.privateBytes) + ", handles " +
         std::to_string(r.handles) + ", USER objects " + std::to_string(r.userObjects) +
         ", GDI objects " + std::to_string(r.gdiObjects);
}

// Allowed growth between the snapshot after warm-up and the one at the end:
// - private bytes: the heap grows in blocks and keeps freed blocks for reuse, so up to a
//   few blocks may come and go without a leak: 128 KiB. Over the default rounds that still
//   fails a leak of one small allocation per round (a BSTR, a COM object: 32 bytes and up).
// - handles, USER and GDI objects: the component opens none that outlive a call, and
//   anything opened once on first use is opened during the warm-up, so 2 is slack for
//   the system's own bookkeeping, while a leak per round would add thousands.
void expectFlat(const Resources &before, const Resources &after, std::size_t rounds) {
  constexpr std::size_t memorySlack = 128 * 1024;
  constexpr std::size_t kObjectSlack = 2;
  EXPECT_LE(after.privateBytes, before.privateBytes + memorySlack)
      << "private bytes grew by " << (after.privateBytes - before.privateBytes) << " over "
      << rounds << " rounds";
  EXPECT_LE(after.handles, before.handles + kObjectSlack);
  EXPECT_LE(after.userObjects, before.userObjects + kObjectSlack);
  EXPECT_LE(after.gdiObjects, before.gdiObjects + kObjectSlack);
  std::printf("  measured by: %s\n  after warm-up: %s\n  at the end:    %s\n", sources().c_str(),
              describe(before).c_str(), describe(after).c_str());
}

// ---------------------------------------------------------------- the stand-in

LONG standinLiveObjects() {
  const HMODULE dll = GetModuleHandleW(L"vmstandin.dll");
  if (!dll)
    return 0;
  const auto function = reinterpret_cast<LONG(WINAPI *)()>(
      reinterpret_cast<void (*)()>(GetProcAddress(dll, "StandinLiveObjects")));
  return function ? function() : -1;
}

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

class InventoryFile {
public:
  InventoryFile() {
    path_ = fs::temp_directory_path() /
            ("brennow-soak-" + std::to_string(GetCurrentProcessId()) + ".txt");
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << kInventory;
    SetEnvironmentVariableW(L"BRENNOW_STANDIN_INVENTORY", path_.c_str());
  }
  ~InventoryFile() {
    SetEnvironmentVariableW(L"BRENNOW_STANDIN_INVENTORY", nullptr);
    std::error_code ignored;
    fs::remove(path_, ignored);
  }

private:
  fs::path path_;
};

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
      standinLiveObjects() == 0;
  EXPECT_TRUE(asExpected) << utf8(scenario.host) << " " << utf8(scenario.vm) << ": "
                          << utf8(message) << " (stand-in objects alive: " << standinLiveObjects()
                          << ")";
  return asExpected;
}

constexpr std::size_t kScenarioCount = std::size(kScenarios);

class SoakTest : public testing::Test {
protected:
  InventoryFile inventory_;
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
  const Resources before = resources();
  ASSERT_TRUE(run(rounds));
  const Resources after = resources();
  std::printf("  %zu checks\n", rounds);
  expectFlat(before, after, rounds);
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
  const Resources before = resources();
  ASSERT_TRUE(run(warmUp, rounds));
  const Resources after = resources();
  std::printf("  %zu objects\n", rounds);
  expectFlat(before, after, rounds);
  EXPECT_EQ(standinLiveObjects(), 0);
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
  EXPECT_EQ(standinLiveObjects(), 0);
}

} // namespace
