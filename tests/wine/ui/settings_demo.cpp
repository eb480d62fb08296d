// Shows the settings dialog and the virtual-machine picker at work, as a monitoring host
// and its user would meet them: creates brennow.vmwarecom, opens the settings dialog on a
// server with a stored account, presses "...", double-clicks a machine in the picker and
// presses OK. Pictures of the dialog and of the picker go to BRENNOW_SCREENSHOTS.
//
// Usage: settings_demo HOST USER PASSWORD-IN-BASE64 MACHINE-TO-PICK
// Exit code 0 when everything went as shown, 1 otherwise.
#include <windows.h>

#include <objbase.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/win/automation.h"
#include "dialogs/frmmainControls.h"
#include "dialogs/frmvmList.h"
#include "tests/wine/ui/UiDriver.h"
#include "tests/wine/wintest.h"

namespace {

using brennow::dialogs::kFrmmainClassName;
using brennow::dialogs::kFrmvmListClassName;
namespace settings = brennow::dialogs::frmmainControl;
namespace picker = brennow::dialogs::frmvmListControl;

struct DemoInput {
  std::wstring host;
  std::wstring user;
  std::wstring encodedPassword;
  std::wstring machine;
};

void say(const std::wstring &line) {
  std::fputws((line + L"\n").c_str(), stdout);
  std::fflush(stdout);
}

bool putText(IDispatch *plugin, const wchar_t *property, const std::wstring &text) {
  brennow::win::Variant value;
  *value.get() = wintest::textVariant(text);
  return SUCCEEDED(wintest::putProperty(plugin, property, *value.get()));
}

std::wstring parameterOf(IDispatch *plugin) {
  brennow::win::Variant value;
  wintest::invoke(plugin, L"qm_parameter", DISPATCH_PROPERTYGET, {}, value.get());
  return wintest::text(*value.get());
}

bool fail(const std::wstring &why) {
  say(why);
  return false;
}

void paintNow(HWND window) {
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void picture(const wchar_t *name) {
  if (uitest::saveScreenshot(name))
    say(std::wstring(L"  picture    ") + name + L".png");
  else
    say(std::wstring(L"  picture    ") + name + L".png could not be taken");
}

int indexOf(const std::vector<std::wstring> &items, const std::wstring &wanted) {
  for (std::size_t i = 0; i < items.size(); ++i)
    if (items[i] == wanted)
      return static_cast<int>(i);
  return -1;
}

// The user's part, on a thread of its own while the host's thread is in qm_showGUI.
// Returns false at the first step that did not come about.
bool actAsUser(DWORD hostThread, const DemoInput &input) {
  const HWND dialog = uitest::waitForWindow({kFrmmainClassName, hostThread, true, nullptr});
  if (!dialog)
    return fail(L"The settings dialog did not open.");
  say(L"Settings dialog open: \"" + uitest::textOf(dialog) + L"\"");
  paintNow(dialog);
  picture(L"demo-settings");

  uitest::click(GetDlgItem(dialog, settings::cmdListVMS));
  const HWND list = uitest::waitForWindow({kFrmvmListClassName, hostThread, true, nullptr});
  if (!list)
    return fail(L"The picker did not open.");
  const HWND items = GetDlgItem(list, picker::listVMS);
  const std::vector<std::wstring> names = uitest::listItems(items);
  say(L"Picker open: \"" + uitest::textOf(list) + L"\"");
  for (const std::wstring &name : names)
    say(L"  machine    " + name);

  // The machine to pick is clicked first, so that its name stands in the list's tooltip.
  const int wanted = indexOf(names, input.machine);
  if (wanted < 0)
    return fail(L"The picker does not list " + input.machine + L".");
  uitest::clickListItem(items, wanted);
  uitest::pointAt(items);
  uitest::waitUntil(
      [&] {
        return !uitest::processWindows({L"tooltips_class32", hostThread}).empty();
      },
      std::chrono::milliseconds(3000));
  paintNow(list);
  picture(L"demo-picker");

  uitest::doubleClickListItem(items, wanted);
  const bool filled = uitest::waitUntil([&] {
    return uitest::textOf(GetDlgItem(dialog, settings::txtVMName)) == input.machine &&
           uitest::storedTextOf(GetDlgItem(dialog, settings::lblparameter)).empty();
  });
  if (!filled)
    return fail(L"The picked name did not reach the settings dialog.");
  say(L"Picked by double-click: " + input.machine);

  uitest::click(GetDlgItem(dialog, settings::btOK));
  return true;
}

// Closes whatever the host's thread still shows, and at last ends its loop.
void closeLeftovers(DWORD hostThread) {
  for (HWND window : uitest::processWindows({nullptr, hostThread, true, nullptr}))
    PostMessageW(window, WM_CLOSE, 0, 0);
  PostThreadMessageW(hostThread, WM_QUIT, 0, 0);
}

int runDemo(const DemoInput &input) {
  Microsoft::WRL::ComPtr<IDispatch> plugin = wintest::createPlugin();
  if (!plugin) {
    say(L"brennow.vmwarecom cannot be created: is brennow.dll registered?");
    return 1;
  }
  const std::wstring parameter =
      L"#VSTP=VMWARE#USR=" + input.user + L"#PWD=" + input.encodedPassword + L"#VMN=#VMS=on#";
  brennow::win::Variant timeout;
  *timeout.get() = wintest::int32Variant(30);
  if (!putText(plugin.Get(), L"qm_hostname", input.host) ||
      !putText(plugin.Get(), L"qm_parameter", parameter) ||
      FAILED(wintest::putProperty(plugin.Get(), L"qm_timeout", *timeout.get())))
    return 1;
  say(L"Host         " + input.host);
  say(L"Parameter    " + parameter);

  const DWORD hostThread = GetCurrentThreadId();
  std::atomic<bool> shown{false};
  bool acted = false;
  std::thread user([&] {
    acted = actAsUser(hostThread, input);
    if (!uitest::waitUntil([&] { return shown.load(); }))
      closeLeftovers(hostThread);
  });
  const HRESULT hr = wintest::invoke(plugin.Get(), L"qm_showGUI", DISPATCH_METHOD, {});
  shown = true;
  user.join();
  MSG quit;
  PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);

  say(L"OK pressed; qm_parameter now " + parameterOf(plugin.Get()));
  return SUCCEEDED(hr) && acted ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
  if (argc != 5) {
    say(L"usage: settings_demo HOST USER PASSWORD-IN-BASE64 MACHINE-TO-PICK");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const int result = runDemo({argv[1], argv[2], argv[3], argv[4]});
  CoUninitialize();
  return result;
}
