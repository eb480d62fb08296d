// The list button of the settings dialog and the virtual-machine picker as a host and a
// user meet them: the main thread calls qm_showGUI on a brennow.vmwarecom object while a
// driver thread types the account, presses "...", works the picker or the message box
// and reads back what the windows show. The registered stand-in server answers from an
// inventory that each test writes, and logs every operation it receives.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/win/automation.h"
#include "dialogs/frmmainControls.h"
#include "dialogs/logic/listing.h"
#include "dialogs/frmvmList.h"
#include "tests/wine/ProcessResources.h"
#include "tests/wine/ui/UiDriver.h"
#include "tests/wine/wintest.h"

using brennow::dialogs::kFrmmainClassName;
using brennow::dialogs::kFrmvmListClassName;
using brennow::dialogs::frmmainControl::cmdListVMS;
using brennow::dialogs::frmmainControl::lblparameter;
using brennow::dialogs::frmmainControl::txtPassword;
using brennow::dialogs::frmmainControl::txtUsername;
using brennow::dialogs::frmmainControl::txtVMName;
using brennow::dialogs::frmvmListControl::Label1;
using brennow::dialogs::frmvmListControl::listVMS;
using Microsoft::WRL::ComPtr;

namespace {

constexpr wchar_t kMissingAccount[] = L"Can't list the VMs with a username and/or password!";
constexpr wchar_t kNoMachines[] = L"No registered virtual machines on this server";
constexpr wchar_t kWorking[] = L"Working...";

// ---- text and the stand-in's files

using wintest::fromUtf8;
using wintest::toUtf8;
std::string printable(std::wstring_view text) { return toUtf8(text); }

// A host block of the inventory with one account and `machines`, one name a line.
std::wstring hostBlock(std::wstring_view host, std::wstring_view user, std::wstring_view password,
                       const std::vector<std::wstring> &machines, std::wstring_view extra = L"") {
  std::wstring block = L"host " + std::wstring(host) + L"\nuser " + std::wstring(user) +
                       L"\npassword " + std::wstring(password) + L"\n";
  for (const std::wstring &machine : machines)
    block += L"machine 1 " + machine + L"\n";
  return block + std::wstring(extra);
}

// ---- the plug-in object

void putText(IDispatch *plugin, const wchar_t *property, const std::wstring &text) {
  brennow::win::Variant value;
  *value.get() = wintest::textVariant(text);
  ASSERT_EQ(wintest::putProperty(plugin, property, *value.get()), S_OK) << property;
}

std::wstring parameterOf(IDispatch *plugin) {
  brennow::win::Variant value;
  EXPECT_EQ(wintest::invoke(plugin, L"qm_parameter", DISPATCH_PROPERTYGET, {}, value.get()), S_OK);
  return wintest::text(*value.get());
}

// ---- the windows, read from the driver thread

HWND control(HWND window, int id) { return GetDlgItem(window, id); }

HWND waitForMessageBox(HWND dialog) {
  return uitest::waitForWindow(
      {L"#32770", GetWindowThreadProcessId(dialog, nullptr), true, dialog});
}

bool waitUntilGone(HWND window) {
  return uitest::waitUntil([&] { return !IsWindow(window) || !IsWindowVisible(window); });
}

// The pickers of one thread (0: of every thread).
std::vector<HWND> pickers(bool visibleOnly, DWORD threadId = 0) {
  return uitest::processWindows({kFrmvmListClassName, threadId, visibleOnly, nullptr});
}

void closeFromFrame(HWND window) { PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); }

// The icon a message box shows, as its icon control holds it.
HICON iconOf(HWND messageBox) {
  constexpr int kMessageBoxIcon = 0x0440;
  return reinterpret_cast<HICON>(
      uitest::sendBounded(control(messageBox, kMessageBoxIcon), STM_GETICON));
}

// A picker that is loaded but not shown, as the listing left it.
struct HiddenPicker {
  bool loaded = false;
  bool visible = false;
  std::wstring caption;
  std::vector<std::wstring> items;
};

HiddenPicker lookForHiddenPicker() {
  HiddenPicker found;
  const std::vector<HWND> loaded = pickers(false);
  if (loaded.empty())
    return found;
  found.loaded = true;
  found.visible = IsWindowVisible(loaded.front());
  found.caption = uitest::textOf(loaded.front());
  found.items = uitest::listItems(control(loaded.front(), listVMS));
  return found;
}

struct MessageSeen {
  bool shown = false;
  std::wstring caption;
  std::wstring text;
  HICON icon = nullptr;
  bool aboveDialog = false;
  std::wstring status;
  HiddenPicker picker;
};

// Reads the message box the dialog opened, and the picker meanwhile, and presses OK.
MessageSeen dismissMessage(HWND dialog) {
  MessageSeen seen;
  const HWND box = waitForMessageBox(dialog);
  if (!box)
    return seen;
  seen.shown = true;
  seen.caption = uitest::textOf(box);
  seen.text = uitest::textOf(control(box, 0xFFFF));
  seen.icon = iconOf(box);
  seen.aboveDialog = uitest::isAbove(box, dialog);
  seen.status = uitest::storedTextOf(control(dialog, lblparameter));
  seen.picker = lookForHiddenPicker();
  uitest::click(control(box, IDOK));
  EXPECT_TRUE(waitUntilGone(box));
  return seen;
}

HICON stopIcon() { return LoadIconW(nullptr, IDI_HAND); }

// ---- one listing from start to end

struct Account {
  std::wstring host;
  std::wstring user;
  std::wstring password;
};

// The listing as the driver sees it after pressing "...".
struct Listing {
  const uitest::Showing &showing;
  HWND dialog;

  HWND waitForPicker() const { return showing.waitForWindow(kFrmvmListClassName); }
};

// The settings dialog once the listing is over.
struct AfterListing {
  bool ended = false;
  std::wstring status;
  std::wstring vmName;
  bool dialogEnabled = false;
  bool dialogActive = false;
};

// Over: no picker and no message box up, the dialog enabled again and the status line
// cleared.
bool waitForListingEnd(HWND dialog) {
  return uitest::waitUntil([&] {
    return pickers(true, GetWindowThreadProcessId(dialog, nullptr)).empty() &&
           uitest::processWindows({L"#32770", 0, true, dialog}).empty() &&
           IsWindowEnabled(dialog) && uitest::storedTextOf(control(dialog, lblparameter)).empty();
  });
}

class PickerTest : public testing::Test {
protected:
  void SetUp() override {
    files_.startLog();
    plugin_ = wintest::createPlugin();
    ASSERT_TRUE(plugin_) << "brennow.vmwarecom cannot be created: is brennow.dll registered?";
  }

  void TearDown() override {
    plugin_.Reset();
    EXPECT_EQ(wintest::standinLiveObjects(), 0);
    for (const wchar_t *className : {kFrmmainClassName, kFrmvmListClassName, L"#32770",
                                     static_cast<const wchar_t *>(TOOLTIPS_CLASSW)})
      EXPECT_TRUE(uitest::processWindows({className, 0, false, nullptr}).empty())
          << "a window of class " << printable(className) << " is left";
  }

  void writeInventory(std::wstring_view text) const { files_.writeInventory(text); }
  std::vector<std::wstring> logLines() const { return files_.logLines(); }

  // The log lines that start with `prefix`, in order.
  std::vector<std::wstring> logLinesStartingWith(std::wstring_view prefix) const {
    std::vector<std::wstring> found;
    for (const std::wstring &line : logLines())
      if (line.starts_with(prefix))
        found.push_back(line);
    return found;
  }

  bool logHas(std::wstring_view wanted) const {
    for (const std::wstring &line : logLines())
      if (line == wanted)
        return true;
    return false;
  }

  // Opens the settings dialog of `plugin` for the account's host with `vmName` in the
  // machine box, types user name and password, presses "..." and hands the listing to
  // `drive`. Then waits until the listing is over, reads the dialog and closes it.
  AfterListing listOn(IDispatch *plugin, const Account &account,
                      const std::function<void(const Listing &)> &drive,
                      const std::wstring &vmName = L"preset") {
    putText(plugin, L"qm_hostname", account.host);
    putText(plugin, L"qm_parameter", L"#VMN=" + vmName + L"#");
    AfterListing after;
    uitest::runShowing(
        [&] { wintest::invoke(plugin, L"qm_showGUI", DISPATCH_METHOD, {}); },
        [&](uitest::Showing &showing) {
          const HWND dialog = showing.waitForWindow(kFrmmainClassName);
          ASSERT_TRUE(dialog) << "the settings dialog did not show";
          uitest::setTextOf(control(dialog, txtUsername), account.user);
          uitest::setTextOf(control(dialog, txtPassword), account.password);
          // A user sees the whole dialog before pressing "...".
          RedrawWindow(dialog, nullptr, nullptr,
                       RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
          uitest::click(control(dialog, cmdListVMS));
          drive(Listing{showing, dialog});
          after.ended = waitForListingEnd(dialog);
          after.status = uitest::storedTextOf(control(dialog, lblparameter));
          after.vmName = uitest::textOf(control(dialog, txtVMName));
          after.dialogEnabled = IsWindowEnabled(dialog);
          after.dialogActive =
              uitest::waitUntil([&] { return uitest::activeOf(showing.threadId()) == dialog; },
                                std::chrono::milliseconds(2000));
          closeFromFrame(dialog);
        });
    return after;
  }

  AfterListing list(const Account &account, const std::function<void(const Listing &)> &drive,
                    const std::wstring &vmName = L"preset") {
    return listOn(plugin_.Get(), account, drive, vmName);
  }

  wintest::StandinFiles files_{"brennow-picker"};
  ComPtr<IDispatch> plugin_;
};

const Account kAlice{L"srv1", L"alice", L"secret"};
const std::vector<std::wstring> kMachines{L"web01", L"db server", L"  padded  ", L"web01",
                                          L"build agent (nightly)"};

// What closed last: the picker, which hands the activation back to the settings dialog
// itself, or a message box, for which the window system does it.
enum class ClosedLast { Picker, MessageBox };

void expectQuietEnd(const AfterListing &after, const std::wstring &vmName,
                    ClosedLast closedLast = ClosedLast::Picker) {
  EXPECT_TRUE(after.ended) << "the listing did not end; status " << printable(after.status);
  EXPECT_EQ(after.status, L"") << "the status line still shows something";
  EXPECT_EQ(after.vmName, vmName);
  EXPECT_TRUE(after.dialogEnabled);
  if (closedLast == ClosedLast::Picker) {
    EXPECT_TRUE(after.dialogActive) << "the settings dialog did not take the activation back";
  }
}

// ---- the account must be given

struct MissingAccountCase {
  const char *name;
  const wchar_t *user;
  const wchar_t *password;
};

class MissingAccount : public PickerTest, public testing::WithParamInterface<MissingAccountCase> {};

TEST_P(MissingAccount, TellsWhyAndLeavesTheServerAlone) {
  const MissingAccountCase &c = GetParam();
  writeInventory(hostBlock(L"srv1", c.user, c.password, {L"vm1"}));
  MessageSeen message;
  const AfterListing after = list({L"srv1", c.user, c.password}, [&](const Listing &listing) {
    message = dismissMessage(listing.dialog);
  });
  ASSERT_TRUE(message.shown) << "no message box";
  EXPECT_EQ(message.caption, L"Corvalen");
  EXPECT_EQ(message.text, kMissingAccount);
  EXPECT_EQ(message.icon, stopIcon());
  EXPECT_TRUE(message.aboveDialog) << "the message box is hidden by the dialog";
  EXPECT_EQ(message.status, kWorking);
  EXPECT_FALSE(message.picker.loaded) << "the picker was loaded";
  EXPECT_EQ(logLines(), std::vector<std::wstring>{}) << "the server was contacted";
  expectQuietEnd(after, L"preset", ClosedLast::MessageBox);
}

INSTANTIATE_TEST_SUITE_P(Cases, MissingAccount,
                         testing::Values(MissingAccountCase{"NoUserName", L"", L"secret"},
                                         MissingAccountCase{"NoPassword", L"alice", L""},
                                         MissingAccountCase{"Neither", L"", L""}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(PickerTest, AUserNameOfBlanksIsPassedOnUnchanged) {
  writeInventory(hostBlock(L"srv1", L"   ", L"pw", {L"vm1"}));
  std::vector<std::wstring> shown;
  const AfterListing after = list({L"srv1", L"   ", L"pw"}, [&](const Listing &listing) {
    const HWND picker = listing.waitForPicker();
    ASSERT_TRUE(picker) << "no picker";
    shown = uitest::listItems(control(picker, listVMS));
    closeFromFrame(picker);
  });
  EXPECT_EQ(shown, std::vector<std::wstring>{L"vm1"});
  EXPECT_TRUE(logHas(L"params.Username=   "));
  EXPECT_TRUE(logHas(L"params.Password=pw"));
  expectQuietEnd(after, L"preset");
}

// ---- what the server answers

TEST_F(PickerTest, NoRegisteredMachinesIsReportedWithoutPicker) {
  writeInventory(hostBlock(L"srv1", L"alice", L"secret", {}));
  MessageSeen message;
  const AfterListing after =
      list(kAlice, [&](const Listing &listing) { message = dismissMessage(listing.dialog); });
  ASSERT_TRUE(message.shown) << "no message box";
  EXPECT_EQ(message.caption, L"Corvalen");
  EXPECT_EQ(message.text, kNoMachines);
  EXPECT_EQ(message.icon, nullptr) << "the message has an icon";
  EXPECT_TRUE(message.aboveDialog);
  EXPECT_FALSE(message.picker.loaded) << "the picker was loaded";
  EXPECT_EQ(logLinesStartingWith(L"list.Item"), std::vector<std::wstring>{});
  EXPECT_EQ(logLinesStartingWith(L"release "),
            (std::vector<std::wstring>{L"release list", L"release params", L"release server"}));
  expectQuietEnd(after, L"preset", ClosedLast::MessageBox);
}

struct PickerSeen {
  bool shown = false;
  std::wstring caption;
  std::vector<std::wstring> items;
  uitest::Twips client{};
  uitest::Twips outer{};
  uitest::Twips list{};
  uitest::Twips label{};
  std::wstring labelText;
  LONG_PTR frameStyle = 0;
  LONG_PTR listStyle = 0;
  LONG_PTR labelStyle = 0;
  bool topmost = false;
  bool aboveDialog = false;
  bool foreground = false;
  bool active = false;
  bool focusInList = false;
  bool dialogEnabled = true;
  LONG liveObjects = -1;
};

PickerSeen lookAtPicker(const Listing &listing, HWND picker) {
  PickerSeen seen;
  seen.shown = true;
  const HWND list = control(picker, listVMS);
  const HWND label = control(picker, Label1);
  const DWORD thread = listing.showing.threadId();
  seen.focusInList = uitest::waitUntil([&] { return uitest::focusOf(thread) == list; });
  seen.caption = uitest::textOf(picker);
  seen.items = uitest::listItems(list);
  seen.client = uitest::clientTwips(picker);
  seen.outer = uitest::windowTwips(picker);
  seen.list = uitest::controlTwips(list);
  seen.label = uitest::controlTwips(label);
  seen.labelText = uitest::textOf(label);
  seen.frameStyle = GetWindowLongPtrW(picker, GWL_STYLE);
  seen.listStyle = GetWindowLongPtrW(list, GWL_STYLE);
  seen.labelStyle = GetWindowLongPtrW(label, GWL_STYLE);
  seen.topmost = (GetWindowLongPtrW(picker, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  seen.aboveDialog = uitest::isAbove(picker, listing.dialog);
  seen.foreground = GetForegroundWindow() == picker;
  seen.active = uitest::activeOf(thread) == picker;
  seen.dialogEnabled = IsWindowEnabled(listing.dialog);
  seen.liveObjects = wintest::standinLiveObjects();
  return seen;
}

int pixelTolerance() { return uitest::pixelsToTwipsX(1); }

int twipsToPixelsX(int twips) {
  const HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return MulDiv(twips, dpi, 1440);
}

void expectPlace(const uitest::Twips &shown, const uitest::Twips &designed, const char *name) {
  const int tolerance = pixelTolerance();
  EXPECT_NEAR(shown.left, designed.left, tolerance) << name;
  EXPECT_NEAR(shown.top, designed.top, tolerance) << name;
  EXPECT_NEAR(shown.width, designed.width, tolerance) << name;
  EXPECT_NEAR(shown.height, designed.height, tolerance) << name;
}

TEST_F(PickerTest, ListsEveryMachineInOrderAboveTheSettingsDialog) {
  writeInventory(hostBlock(L"esx01.example.test", L"alice", L"secret", kMachines));
  PickerSeen seen;
  const AfterListing after =
      list({L"esx01.example.test", L"alice", L"secret"}, [&](const Listing &listing) {
        const HWND picker = listing.waitForPicker();
        ASSERT_TRUE(picker) << "no picker";
        seen = lookAtPicker(listing, picker);
        EXPECT_TRUE(uitest::saveScreenshot(L"picker_over_settings"));
        closeFromFrame(picker);
      });
  ASSERT_TRUE(seen.shown);
  EXPECT_EQ(seen.caption, L"Registered virtual machines on esx01.example.test");
  EXPECT_EQ(seen.items, kMachines);

  EXPECT_TRUE(seen.topmost);
  EXPECT_TRUE(seen.aboveDialog) << "the picker is hidden by the settings dialog";
  EXPECT_TRUE(seen.foreground);
  EXPECT_TRUE(seen.active);
  EXPECT_TRUE(seen.focusInList) << "the keyboard focus is not in the list";
  EXPECT_FALSE(seen.dialogEnabled) << "the settings dialog took input under the picker";
  EXPECT_EQ(seen.liveObjects, 0) << "the server's objects were held while the picker showed";

  // The designed layout; list and label take the width the resize rule gives them.
  EXPECT_NEAR(seen.client.width, 6285, pixelTolerance());
  EXPECT_NEAR(seen.client.height, 2385, pixelTolerance());
  const int ruledWidth = seen.outer.width - 350;
  expectPlace(seen.list, {120, 120, ruledWidth, 1815}, "listVMS");
  expectPlace(seen.label, {120, 2040, ruledWidth, 255}, "Label1");
  EXPECT_EQ(seen.labelText, L"Select a process by double clicking it.");
  EXPECT_EQ(seen.labelStyle & SS_TYPEMASK, SS_CENTER);
  for (LONG_PTR bit : {WS_CAPTION, WS_SYSMENU, WS_THICKFRAME})
    EXPECT_EQ(seen.frameStyle & bit, bit) << std::hex << bit;
  EXPECT_TRUE(seen.listStyle & LBS_NOTIFY);
  EXPECT_TRUE(seen.listStyle & WS_TABSTOP);
  EXPECT_FALSE(seen.listStyle & (LBS_SORT | LBS_MULTIPLESEL | LBS_EXTENDEDSEL));

  // The whole conversation with the server, released before the picker showed.
  std::vector<std::wstring> expected{L"create params",
                                     L"create server",
                                     L"params.Hostname=esx01.example.test",
                                     L"params.Username=alice",
                                     L"params.Password=secret",
                                     L"server.Connect",
                                     L"server.RegisteredVmNames",
                                     L"create list",
                                     L"list.Count",
                                     L"list.Count"};
  for (std::size_t i = 1; i <= kMachines.size(); ++i)
    expected.push_back(L"list.Item(" + std::to_wstring(i) + L")");
  for (const wchar_t *released : {L"release list", L"release params", L"release server"})
    expected.push_back(released);
  EXPECT_EQ(logLines(), expected);
  expectQuietEnd(after, L"preset");
}

TEST_F(PickerTest, WorkingShowsInTheStatusLineWhileTheServerIsBusy) {
  writeInventory(L"delay connect 1500\n" + hostBlock(L"srv1", L"alice", L"secret", {L"vm1"}));
  bool connecting = false;
  std::wstring status;
  int inkAfter = -1;
  int inkWhileBusy = -1;
  bool pickerMeanwhile = true;
  const AfterListing after = list(kAlice, [&](const Listing &listing) {
    const HWND statusLine = control(listing.dialog, lblparameter);
    // The connect is logged before the stand-in waits, so from here on the thread is held.
    connecting = uitest::waitUntil([&] { return logHas(L"server.Connect"); });
    status = uitest::storedTextOf(statusLine);
    inkWhileBusy = uitest::inkedPixels(statusLine);
    pickerMeanwhile = !pickers(true).empty();
    EXPECT_TRUE(uitest::saveScreenshot(L"picker_working", uitest::Repaint::No));
    const HWND picker = listing.waitForPicker();
    ASSERT_TRUE(picker) << "no picker";
    closeFromFrame(picker);
    ASSERT_TRUE(waitForListingEnd(listing.dialog));
    uitest::waitUntil([&] { return uitest::inkedPixels(statusLine) == 0; },
                      std::chrono::milliseconds(2000));
    inkAfter = uitest::inkedPixels(statusLine);
  });
  ASSERT_TRUE(connecting) << "the server was not contacted";
  EXPECT_EQ(status, kWorking);
  EXPECT_GT(inkWhileBusy, 0) << "\"Working...\" was not painted while the thread was held";
  EXPECT_EQ(inkAfter, 0) << "the emptied status line still shows something";
  EXPECT_FALSE(pickerMeanwhile);
  expectQuietEnd(after, L"preset");
}

// ---- failures on the way, reported with the statement number

struct FailureCase {
  const char *name;
  const wchar_t *inventory;
  Account account;
  const wchar_t *message;
  std::vector<std::wstring> released;
  std::optional<std::vector<std::wstring>> itemsInPicker; // none: the picker was not loaded
};

class Failure : public PickerTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(Failure, IsReportedWithItsStatementAndNothingIsShown) {
  const FailureCase &c = GetParam();
  writeInventory(c.inventory);
  MessageSeen message;
  const AfterListing after = list(c.account, [&](const Listing &listing) {
    if (std::string(c.name) == "ConnectRefused") {
      waitForMessageBox(listing.dialog);
      EXPECT_TRUE(uitest::saveScreenshot(L"picker_connect_refused"));
    }
    message = dismissMessage(listing.dialog);
  });
  ASSERT_TRUE(message.shown) << "no message box";
  EXPECT_EQ(message.caption, L"Corvalen");
  EXPECT_EQ(message.text, c.message);
  EXPECT_EQ(message.icon, stopIcon());
  EXPECT_TRUE(message.aboveDialog);
  EXPECT_EQ(message.status, kWorking);
  EXPECT_FALSE(message.picker.visible) << "the picker showed";
  EXPECT_EQ(message.picker.loaded, c.itemsInPicker.has_value());
  if (c.itemsInPicker) {
    EXPECT_EQ(message.picker.items, *c.itemsInPicker) << "the items read before the failure";
    EXPECT_EQ(message.picker.caption, L"Form1") << "the caption is replaced only before showing";
  }
  EXPECT_EQ(logLinesStartingWith(L"release "), c.released);
  expectQuietEnd(after, L"preset", ClosedLast::MessageBox);
}

const std::vector<std::wstring> kAllReleased{L"release list", L"release params", L"release server"};
const std::vector<std::wstring> kNoListReleased{L"release params", L"release server"};

INSTANTIATE_TEST_SUITE_P(
    Cases, Failure,
    testing::Values(
        FailureCase{"ConnectRefused",
                    L"host srv1\nuser alice\npassword secret\nmachine 1 vm1\n"
                    L"fault connect immediate The host is not responding\n",
                    kAlice, L"The host is not responding( 130)", kNoListReleased, std::nullopt},
        FailureCase{"ConnectRefusedDeferred",
                    L"host srv1\nuser alice\npassword secret\nmachine 1 vm1\n"
                    L"fault connect deferred The host is not responding\n",
                    kAlice, L"The host is not responding( 130)", kNoListReleased, std::nullopt},
        FailureCase{"WrongPassword", L"host srv1\nuser alice\npassword secret\nmachine 1 vm1\n",
                    Account{L"srv1", L"alice", L"Secret"},
                    L"Incorrect user name or password for host srv1( 130)", kNoListReleased,
                    std::nullopt},
        FailureCase{"UnknownHost", L"host srv1\nuser alice\npassword secret\nmachine 1 vm1\n",
                    Account{L"elsewhere", L"alice", L"secret"}, L"Unknown host: elsewhere( 130)",
                    kNoListReleased, std::nullopt},
        FailureCase{"ListRefused",
                    L"host srv1\nuser alice\npassword secret\nmachine 1 vm1\n"
                    L"fault list errorinfo The server could not enumerate its machines\n",
                    kAlice, L"The server could not enumerate its machines( 140)", kNoListReleased,
                    std::nullopt},
        FailureCase{"CountFails",
                    L"host srv1\nuser alice\npassword secret\nmachine 1 vm1\n"
                    L"fault count immediate The count is unknown\n",
                    kAlice, L"The count is unknown( 150)", kAllReleased, std::nullopt},
        FailureCase{"SecondItemFails",
                    L"host srv1\nuser alice\npassword secret\nmachine 1 vm1\nmachine 1 vm2\n"
                    L"machine 1 vm3\nfault item 2 immediate The second machine cannot be read\n",
                    kAlice, L"The second machine cannot be read( 260)", kAllReleased,
                    std::vector<std::wstring>{L"vm1"}}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- picking

TEST_F(PickerTest, DoubleClickPutsTheNameIntoTheBoxAndUnloadsThePicker) {
  writeInventory(hostBlock(L"srv1", L"alice", L"secret", kMachines));
  HWND picker = nullptr;
  bool dialogDisabledMeanwhile = false;
  const AfterListing after = list(kAlice, [&](const Listing &listing) {
    picker = listing.waitForPicker();
    ASSERT_TRUE(picker) << "no picker";
    dialogDisabledMeanwhile = !IsWindowEnabled(listing.dialog);
    ASSERT_TRUE(uitest::doubleClickListItem(control(picker, listVMS), 1));
  });
  EXPECT_TRUE(dialogDisabledMeanwhile);
  EXPECT_FALSE(IsWindow(picker)) << "the picker was hidden, not unloaded";
  expectQuietEnd(after, kMachines[1]);
}

TEST_F(PickerTest, DoubleClickBesideTheItemsClosesThePickerAndKeepsTheBox) {
  writeInventory(hostBlock(L"srv1", L"alice", L"secret", {L"vm1", L"vm2"}));
  HWND picker = nullptr;
  const AfterListing after = list(kAlice, [&](const Listing &listing) {
    picker = listing.waitForPicker();
    ASSERT_TRUE(picker) << "no picker";
    uitest::doubleClickBelowItems(control(picker, listVMS));
  });
  EXPECT_FALSE(IsWindow(picker)) << "the picker is still loaded";
  expectQuietEnd(after, L"preset");
}

TEST_F(PickerTest, ClosingWithoutPickKeepsTheBoxAlsoAfterAnEarlierPick) {
  writeInventory(hostBlock(L"srv1", L"alice", L"secret", {L"vm1", L"vm2"}));
  const auto closeThePicker = [](const Listing &listing) {
    const HWND picker = listing.waitForPicker();
    ASSERT_TRUE(picker) << "no picker";
    closeFromFrame(picker);
  };
  expectQuietEnd(list(kAlice, closeThePicker, L"typed"), L"typed");

  const auto pickTheFirst = [](const Listing &listing) {
    const HWND picker = listing.waitForPicker();
    ASSERT_TRUE(picker) << "no picker";
    ASSERT_TRUE(uitest::doubleClickListItem(control(picker, listVMS), 0));
  };
  expectQuietEnd(list(kAlice, pickTheFirst, L"typed"), L"vm1");

  // Another object on the same thread: the earlier pick does not come back.
  ComPtr<IDispatch> other = wintest::createPlugin();
  ASSERT_TRUE(other);
  expectQuietEnd(listOn(other.Get(), kAlice, closeThePicker, L"typed again"), L"typed again");
  expectQuietEnd(list(kAlice, closeThePicker, L"typed"), L"typed");
}

// Two host threads list at once: while this thread's picker is open, a second thread
// lists into a picker of its own and its user picks a machine there; the pick goes into
// that thread's dialog alone, and closing this thread's picker without a pick keeps this
// box.
TEST_F(PickerTest, TwoThreadsListAtOnceEachInItsOwnPicker) {
  writeInventory(hostBlock(L"srv1", L"alice", L"secret", kMachines));
  AfterListing second;
  bool secondCreated = false;
  const auto secondHost = [&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
      ComPtr<IDispatch> plugin = wintest::createPlugin();
      secondCreated = plugin != nullptr;
      if (plugin)
        second = listOn(plugin.Get(), kAlice, [](const Listing &listing) {
          const HWND picker = listing.waitForPicker();
          ASSERT_TRUE(picker) << "no picker on the second thread";
          ASSERT_TRUE(uitest::doubleClickListItem(control(picker, listVMS), 1));
        });
    }
    CoUninitialize();
  };
  const AfterListing first = list(
      kAlice,
      [&](const Listing &listing) {
        const HWND picker = listing.waitForPicker();
        ASSERT_TRUE(picker) << "no picker";
        uitest::PumpingThread otherHost(secondHost);
        EXPECT_TRUE(otherHost.join());
        closeFromFrame(picker);
      },
      L"mine");
  EXPECT_TRUE(secondCreated);
  EXPECT_EQ(second.vmName, kMachines[1]);
  EXPECT_TRUE(first.ended);
  EXPECT_EQ(first.vmName, L"mine") << "the other thread's pick came into this dialog";
}

TEST_F(PickerTest, EveryListingFillsAFreshPicker) {
  writeInventory(hostBlock(L"srv1", L"alice", L"secret", {L"a", L"b", L"c"}));
  std::vector<std::wstring> first;
  std::vector<std::wstring> second;
  const auto readAndClose = [](std::vector<std::wstring> &items) {
    return [&items](const Listing &listing) {
      const HWND picker = listing.waitForPicker();
      ASSERT_TRUE(picker) << "no picker";
      items = uitest::listItems(control(picker, listVMS));
      EXPECT_EQ(uitest::textOf(picker), L"Registered virtual machines on srv1");
      closeFromFrame(picker);
    };
  };
  list(kAlice, readAndClose(first));
  writeInventory(hostBlock(L"srv1", L"alice", L"secret", {L"d", L"e"}));
  list(kAlice, readAndClose(second));
  EXPECT_EQ(first, (std::vector<std::wstring>{L"a", L"b", L"c"}));
  EXPECT_EQ(second, (std::vector<std::wstring>{L"d", L"e"}));
}

// ---- the picker's own events

TEST_F(PickerTest, ClickingAnItemMakesItTheListsTooltip) {
  writeInventory(hostBlock(L"srv1", L"alice", L"secret", kMachines));
  std::vector<std::wstring> tips;
  bool ownedByPicker = false;
  bool tipShown = false;
  list(kAlice, [&](const Listing &listing) {
    const HWND picker = listing.waitForPicker();
    ASSERT_TRUE(picker) << "no picker";
    const HWND list = control(picker, listVMS);
    const auto tooltips = uitest::processWindows({TOOLTIPS_CLASSW, 0, false, nullptr});
    ASSERT_EQ(tooltips.size(), 1u) << "the list has no tooltip control";
    const HWND tooltip = tooltips.front();
    ownedByPicker = GetWindow(tooltip, GW_OWNER) == picker;
    tips.push_back(uitest::tooltipText(tooltip, picker, list));
    for (int item : {4, 2}) {
      EXPECT_TRUE(uitest::clickListItem(list, item));
      uitest::waitUntil(
          [&] { return uitest::tooltipText(tooltip, picker, list) == kMachines[item]; });
      tips.push_back(uitest::tooltipText(tooltip, picker, list));
    }
    // With the pointer resting on the list, the tip comes up.
    uitest::pointAt(list);
    tipShown = uitest::waitUntil([&] { return IsWindowVisible(tooltip) != FALSE; },
                                 std::chrono::milliseconds(5000));
    EXPECT_TRUE(uitest::saveScreenshot(L"picker_tooltip"));
    closeFromFrame(picker);
  });
  EXPECT_EQ(tips, (std::vector<std::wstring>{L"", kMachines[4], kMachines[2]}));
  EXPECT_TRUE(ownedByPicker);
  EXPECT_TRUE(tipShown) << "the tooltip did not come up over the list";
}

struct ResizeCase {
  const char *name;
  int requestedWidth;
  int outerWidth;
  int controlWidth;
};

class Resize : public PickerTest, public testing::WithParamInterface<ResizeCase> {};

TEST_P(Resize, KeepsTheSmallestWidthAndStretchesListAndLabel) {
  const ResizeCase &c = GetParam();
  writeInventory(hostBlock(L"srv1", L"alice", L"secret", {L"vm1"}));
  uitest::Twips before{}, outer{}, listPlace{}, labelPlace{}, listBefore{}, labelBefore{};
  list(kAlice, [&](const Listing &listing) {
    const HWND picker = listing.waitForPicker();
    ASSERT_TRUE(picker) << "no picker";
    before = uitest::windowTwips(picker);
    listBefore = uitest::controlTwips(control(picker, listVMS));
    labelBefore = uitest::controlTwips(control(picker, Label1));
    RECT box{};
    GetWindowRect(picker, &box);
    SetWindowPos(picker, nullptr, 0, 0, twipsToPixelsX(c.requestedWidth), box.bottom - box.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    uitest::waitUntil([&] {
      return std::abs(uitest::windowTwips(picker).width - c.outerWidth) <= pixelTolerance() &&
             std::abs(uitest::controlTwips(control(picker, listVMS)).width - c.controlWidth) <=
                 pixelTolerance();
    });
    outer = uitest::windowTwips(picker);
    listPlace = uitest::controlTwips(control(picker, listVMS));
    labelPlace = uitest::controlTwips(control(picker, Label1));
    closeFromFrame(picker);
  });
  EXPECT_NEAR(outer.width, c.outerWidth, pixelTolerance());
  EXPECT_EQ(outer.height, before.height);
  expectPlace(listPlace, {listBefore.left, listBefore.top, c.controlWidth, listBefore.height},
              "listVMS");
  expectPlace(labelPlace, {labelBefore.left, labelBefore.top, c.controlWidth, labelBefore.height},
              "Label1");
}

INSTANTIATE_TEST_SUITE_P(Widths, Resize,
                         testing::Values(ResizeCase{"Narrow", 2000, 3015, 2665},
                                         ResizeCase{"Smallest", 3015, 3015, 2665},
                                         ResizeCase{"JustWider", 3030, 3030, 2680},
                                         ResizeCase{"Wide", 6635, 6635, 6285}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(PickerTest, MinimizingLeavesTheLayoutAndRestoringAppliesTheRule) {
  writeInventory(hostBlock(L"srv1", L"alice", L"secret", {L"vm1"}));
  bool minimized = false;
  bool restored = false;
  uitest::Twips outer{}, listPlace{}, listBefore{};
  list(kAlice, [&](const Listing &listing) {
    const HWND picker = listing.waitForPicker();
    ASSERT_TRUE(picker) << "no picker";
    const uitest::Twips outerBefore = uitest::windowTwips(picker);
    listBefore = uitest::controlTwips(control(picker, listVMS));
    // Each wait ends once the window has its new size; the message sent afterwards comes
    // back when the picker's thread has done with the resizing.
    PostMessageW(picker, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    minimized = uitest::waitUntil(
        [&] { return IsIconic(picker) && uitest::windowTwips(picker).width != outerBefore.width; });
    uitest::sendBounded(picker, WM_NULL);
    EXPECT_EQ(uitest::controlTwips(control(picker, listVMS)).width, listBefore.width);
    PostMessageW(picker, WM_SYSCOMMAND, SC_RESTORE, 0);
    restored = uitest::waitUntil([&] {
      return !IsIconic(picker) && uitest::windowTwips(picker).width == outerBefore.width;
    });
    uitest::sendBounded(picker, WM_NULL);
    outer = uitest::windowTwips(picker);
    listPlace = uitest::controlTwips(control(picker, listVMS));
    closeFromFrame(picker);
  });
  EXPECT_TRUE(minimized);
  EXPECT_TRUE(restored);
  EXPECT_NEAR(listPlace.width, outer.width - 350, pixelTolerance());
  EXPECT_EQ(listPlace.width, listBefore.width);
}

// ---- many showings in one process

// Settings dialog, listing, picker and pick, over and over: after a warm-up no window is
// left between the rounds, and the process's private memory, handles and USER and GDI
// objects stay where they were (a settings dialog whose load step leaked 4 KiB a round was
// caught). BRENNOW_SOAK_SCALE multiplies the rounds.
TEST_F(PickerTest, RepeatedShowingsLeaveNothingBehind) {
  writeInventory(hostBlock(L"srv1", L"alice", L"secret", kMachines));
  const char *scaleText = std::getenv("BRENNOW_SOAK_SCALE");
  const int scale = scaleText && std::atoi(scaleText) > 0 ? std::atoi(scaleText) : 1;
  const auto round = [&] {
    const AfterListing after = list(kAlice, [&](const Listing &listing) {
      const HWND picker = listing.waitForPicker();
      ASSERT_TRUE(picker) << "no picker";
      ASSERT_TRUE(uitest::doubleClickListItem(control(picker, listVMS), 0));
    });
    ASSERT_TRUE(after.ended);
    ASSERT_EQ(after.vmName, kMachines[0]);
    ASSERT_TRUE(uitest::processWindows({nullptr, 0, false, nullptr}).empty())
        << "a window outlived its showing";
  };
  for (int warmUp = 0; warmUp < 5; ++warmUp)
    round();
  const wintest::ProcessResources before = wintest::processResources();
  const int rounds = 100 * scale;
  for (int i = 0; i < rounds && !HasFatalFailure(); ++i)
    round();
  const wintest::ProcessResources after = wintest::processResources();
  std::printf("  %d settings dialogs and %d pickers shown\n", rounds, rounds);
  wintest::expectFlat(before, after, static_cast<std::size_t>(rounds));
}

// ---- vSphere servers: the simulators scripts/test starts (URLs in SIM_URL_<NAME>)
//   VC       vCenter, machines DC0_H0_VM0..5, only monitor / s3cret! logs in
//   NEWCERT  vCenter, machines DC0_H0_VM0..1, with a freshly made certificate
// Both present certificates that Wine's chain does not trust; VC's is Go's fixed test
// certificate with a known thumbprint.

constexpr wchar_t kSimThumbprint[] =
    L"448F628A8A65AA18560E53A80C53ACB38C51B427DF0334082349141147DC9BF6";
// monitor / s3cret!, the password encoded as the dialog stores it.
constexpr wchar_t kSimAccount[] = L"#USR=monitor#PWD=czNjcmV0IQ==#";

std::wstring simUrl(const wchar_t *name) {
  wchar_t buffer[512] = {};
  const DWORD length =
      GetEnvironmentVariableW((std::wstring(L"SIM_URL_") + name).c_str(), buffer, 512);
  return length > 0 && length < 512 ? std::wstring(buffer, length) : std::wstring();
}

std::vector<std::wstring> simMachines(int count) {
  std::vector<std::wstring> names;
  for (int i = 0; i < count; ++i)
    names.push_back(L"DC0_H0_VM" + std::to_wstring(i));
  return names;
}

// The thumbprint a trust question shows in lines of pairs, as it goes into "THUMB".
std::wstring thumbprintIn(const std::wstring &question) {
  std::wstring digits;
  const std::wstring::size_type line = question.find(L"presents:\n");
  if (line == std::wstring::npos)
    return digits;
  for (auto at = line + 10; at < question.size() && question.compare(at, 2, L"\n\n") != 0; ++at)
    if (std::iswxdigit(question[at]))
      digits += question[at];
  return digits;
}

// Enter: the key pressed at once, which must not trust the certificate.
enum class Answer { NotAsked, Yes, No, Enter };

struct QuestionSeen {
  bool shown = false;
  std::wstring caption;
  std::wstring text;
  HICON icon = nullptr;
  bool yesAndNo = false;
  bool aboveDialog = false;
  bool noIsDefault = false;
};

QuestionSeen answerQuestion(HWND dialog, Answer answer, const wchar_t *screenshot) {
  QuestionSeen seen;
  const HWND box = waitForMessageBox(dialog);
  if (!box)
    return seen;
  seen.shown = true;
  seen.caption = uitest::textOf(box);
  seen.text = uitest::textOf(control(box, 0xFFFF));
  seen.icon = iconOf(box);
  seen.yesAndNo = control(box, IDYES) && control(box, IDNO) && !control(box, IDOK);
  seen.aboveDialog = uitest::isAbove(box, dialog);
  seen.noIsDefault =
      (GetWindowLongPtrW(control(box, IDNO), GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
  if (screenshot) {
    EXPECT_TRUE(uitest::saveScreenshot(screenshot));
  }
  if (answer == Answer::Enter)
    uitest::pressKey(uitest::focusOf(GetWindowThreadProcessId(box, nullptr)), VK_RETURN);
  else
    uitest::click(control(box, answer == Answer::Yes ? IDYES : IDNO));
  EXPECT_TRUE(waitUntilGone(box));
  return seen;
}

struct VSphereCase {
  const char *name;
  const wchar_t *simulator;
  int machines;
  const wchar_t *pinned; // "THUMB" of the string the dialog opens with
  Answer answer;
  bool pinBroken; // the question says the trusted thumbprint no longer matches
  const wchar_t *screenshot;
};

// What one listing against a simulator showed.
struct VSphereSeen {
  QuestionSeen question;
  MessageSeen error;
  std::vector<std::wstring> items;
  std::wstring pickerCaption;
};

// Opens the dialog, presses "...", answers the trust question if one is expected, then
// picks the first machine or reads the error, and presses OK.
VSphereSeen listAndPressOk(IDispatch *plugin, Answer answer, const wchar_t *screenshot) {
  VSphereSeen seen;
  uitest::runShowing([&] { wintest::invoke(plugin, L"qm_showGUI", DISPATCH_METHOD, {}); },
                     [&](uitest::Showing &showing) {
                       const HWND dialog = showing.waitForWindow(kFrmmainClassName);
                       ASSERT_TRUE(dialog) << "the settings dialog did not show";
                       uitest::click(control(dialog, cmdListVMS));
                       if (answer != Answer::NotAsked)
                         seen.question = answerQuestion(dialog, answer, screenshot);
                       if (answer == Answer::No || answer == Answer::Enter) {
                         seen.error = dismissMessage(dialog);
                       } else if (const HWND picker = showing.waitForWindow(kFrmvmListClassName)) {
                         seen.pickerCaption = uitest::textOf(picker);
                         seen.items = uitest::listItems(control(picker, listVMS));
                         EXPECT_TRUE(uitest::doubleClickListItem(control(picker, listVMS), 0));
                       }
                       EXPECT_TRUE(waitForListingEnd(dialog));
                       uitest::click(control(dialog, brennow::dialogs::frmmainControl::btOK));
                     });
  return seen;
}

class VSphereListing : public PickerTest, public testing::WithParamInterface<VSphereCase> {};

// Lists with the account given in the string and answers the trust question if one
// comes: the string OK writes shows what was kept, and the host's next check passes with it.
TEST_P(VSphereListing, TrustsOnYesListsAndOkWritesTheThumbprint) {
  const VSphereCase &c = GetParam();
  const std::wstring url = simUrl(c.simulator);
  ASSERT_FALSE(url.empty()) << "SIM_URL_" << printable(c.simulator)
                            << " is not set: run through scripts/test";
  putText(plugin_.Get(), L"qm_hostname", url);
  putText(plugin_.Get(), L"qm_timeout", L"20");
  putText(plugin_.Get(), L"qm_parameter",
          std::wstring(L"#VSTP=VSPHERE") + kSimAccount + L"VMN=#VMS=on#THUMB=" + c.pinned + L"#");
  const VSphereSeen seen = listAndPressOk(plugin_.Get(), c.answer, c.screenshot);
  const QuestionSeen &question = seen.question;
  const MessageSeen &error = seen.error;
  const bool listed = c.answer == Answer::Yes || c.answer == Answer::NotAsked;

  std::wstring trusted = c.pinned;
  if (c.answer != Answer::NotAsked) {
    ASSERT_TRUE(question.shown) << "no trust question";
    const std::wstring shown = thumbprintIn(question.text);
    EXPECT_EQ(shown.size(), 64u) << printable(question.text);
    if (!c.pinBroken) {
      EXPECT_EQ(shown, kSimThumbprint);
    }
    EXPECT_NE(shown, c.pinned);
    EXPECT_EQ(question.text, brennow::dialogs::trustQuestion(shown, c.pinBroken));
    EXPECT_EQ(question.caption, L"Corvalen");
    EXPECT_EQ(question.icon, LoadIconW(nullptr, IDI_QUESTION));
    EXPECT_TRUE(question.yesAndNo);
    EXPECT_TRUE(question.aboveDialog);
    EXPECT_TRUE(question.noIsDefault) << "Enter would trust the certificate";
    if (c.answer == Answer::Yes)
      trusted = shown;
    else
      EXPECT_EQ(error.text, brennow::dialogs::untrustedForListing(c.pinBroken) + L"( 130)");
  }
  if (listed) {
    EXPECT_EQ(seen.items, simMachines(c.machines));
    EXPECT_EQ(seen.pickerCaption, L"Registered virtual machines on " + url);
  } else {
    EXPECT_TRUE(error.shown) << "no error message";
    EXPECT_EQ(error.icon, stopIcon());
  }
  EXPECT_EQ(parameterOf(plugin_.Get()), std::wstring(L"#VSTP=VSPHERE") + kSimAccount + L"VMN=" +
                                            (listed ? L"DC0_H0_VM0" : L"") + L"#VMS=on#THUMB=" +
                                            trusted + L"#");
  if (listed)
    wintest::expectOutcome(wintest::runCheck(plugin_.Get()), true,
                           L"Virtual machine (DC0_H0_VM0) is on");
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, VSphereListing,
    testing::Values(VSphereCase{"UntrustedAnsweredYes", L"VC", 6, L"", Answer::Yes, false,
                                L"picker_trust_question"},
                    VSphereCase{"UntrustedAnsweredNo", L"VC", 6, L"", Answer::No, false, nullptr},
                    VSphereCase{"UntrustedEnterIsNo", L"VC", 6, L"", Answer::Enter, false, nullptr},
                    VSphereCase{"TrustedThumbprintListsAtOnce", L"VC", 6, kSimThumbprint,
                                Answer::NotAsked, false, nullptr},
                    VSphereCase{"ChangedCertificateAnsweredYes", L"NEWCERT", 2, kSimThumbprint,
                                Answer::Yes, true, nullptr},
                    VSphereCase{"ChangedCertificateAnsweredNo", L"NEWCERT", 2, kSimThumbprint,
                                Answer::No, true, nullptr}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- setting up each vSphere check from the dialog alone, against the simulator
//   DIALOG   vCenter of the model's defaults: machines DC0_H0_VM0..1, host DC0_H0, datastore
//            LocalDS_0; only monitor / s3cret! logs in

using brennow::dialogs::frmmainControl::btOK;
using brennow::dialogs::frmmainControl::cmbAlarmStatus;
using brennow::dialogs::frmmainControl::cmbCheck;
using brennow::dialogs::frmmainControl::cmbServerType;
using brennow::dialogs::frmmainControl::txtThreshold;

// A text with a whole number where the expected text has none: `before`, the digits, `after`.
struct WithNumber {
  std::wstring before;
  std::optional<std::wstring> after{}; // none: the whole text is `before`
};

bool matches(const std::wstring &text, const WithNumber &expected) {
  if (!expected.after)
    return text == expected.before;
  const std::size_t digits = text.size() - expected.before.size() - expected.after->size();
  if (text.size() <= expected.before.size() + expected.after->size() ||
      !text.starts_with(expected.before) || !text.ends_with(*expected.after))
    return false;
  const std::wstring number = text.substr(expected.before.size(), digits);
  return number.find_first_not_of(L"0123456789") == std::wstring::npos;
}

struct SetUpCase {
  const char *name;
  int entry; // in the check list
  // What "..." lists and the line picked; no lines: the check has no object to list.
  const wchar_t *caption;
  std::vector<WithNumber> lines;
  int picked;
  int box; // the comparison's box set before OK (0: none), and its text
  const wchar_t *value;
  Answer trust;          // the string opens without THUMB when the question is to come
  const wchar_t *fields; // after THUMB
  bool answer;
  WithNumber result;
  const wchar_t *screenshot;
};

class SetUp : public PickerTest, public testing::WithParamInterface<SetUpCase> {};

// Choose the check, pick its object, set its threshold, OK: the host's next check answers it.
TEST_P(SetUp, EachCheckFromTheDialogAloneAndTheNextCheckAnswersIt) {
  const SetUpCase &c = GetParam();
  const std::wstring url = simUrl(L"DIALOG");
  ASSERT_FALSE(url.empty()) << "SIM_URL_DIALOG is not set: run through scripts/test";
  const std::wstring thumb = c.trust == Answer::NotAsked ? kSimThumbprint : L"";
  putText(plugin_.Get(), L"qm_hostname", url);
  putText(plugin_.Get(), L"qm_timeout", L"20");
  putText(plugin_.Get(), L"qm_parameter",
          std::wstring(L"#VSTP=VSPHERE") + kSimAccount + L"THUMB=" + thumb + L"#");
  std::wstring caption;
  std::vector<std::wstring> lines;
  std::wstring picked;
  uitest::runShowing([&] { wintest::invoke(plugin_.Get(), L"qm_showGUI", DISPATCH_METHOD, {}); },
                     [&](uitest::Showing &showing) {
                       const HWND dialog = showing.waitForWindow(kFrmmainClassName);
                       ASSERT_TRUE(dialog) << "the settings dialog did not show";
                       uitest::chooseComboItem(control(dialog, cmbServerType), 1);
                       uitest::chooseComboItem(control(dialog, cmbCheck), c.entry);
                       if (!c.lines.empty()) {
                         uitest::click(control(dialog, cmdListVMS));
                         if (c.trust != Answer::NotAsked)
                           answerQuestion(dialog, c.trust, nullptr);
                         const HWND picker = showing.waitForWindow(kFrmvmListClassName);
                         ASSERT_TRUE(picker) << "no picker";
                         caption = uitest::textOf(picker);
                         lines = uitest::listItems(control(picker, listVMS));
                         if (c.screenshot) {
                           EXPECT_TRUE(uitest::saveScreenshot(c.screenshot));
                         }
                         EXPECT_TRUE(
                             uitest::doubleClickListItem(control(picker, listVMS), c.picked));
                         EXPECT_TRUE(waitForListingEnd(dialog));
                         picked = uitest::textOf(control(dialog, txtVMName));
                       }
                       if (c.box)
                         uitest::setTextOf(control(dialog, c.box), c.value);
                       uitest::click(control(dialog, btOK));
                     });
  if (!c.lines.empty()) {
    EXPECT_EQ(caption, c.caption + url);
    ASSERT_EQ(lines.size(), c.lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i)
      EXPECT_TRUE(matches(lines[i], c.lines[i])) << printable(lines[i]);
  }
  const std::wstring written = parameterOf(plugin_.Get());
  EXPECT_EQ(written, std::wstring(L"#VSTP=VSPHERE") + kSimAccount + c.fields);
  if (!c.lines.empty()) {
    EXPECT_NE(written.find(L"=" + picked + L"#"), std::wstring::npos)
        << "the bare name picked is not what OK wrote: " << printable(picked);
  }
  const wintest::CheckOutcome outcome = wintest::runCheck(plugin_.Get());
  EXPECT_EQ(outcome.answer != VARIANT_FALSE, c.answer) << printable(outcome.result);
  EXPECT_TRUE(matches(outcome.result, c.result)) << printable(outcome.result);
}

#define THUMB L"448F628A8A65AA18560E53A80C53ACB38C51B427DF0334082349141147DC9BF6"
INSTANTIATE_TEST_SUITE_P(
    Checks, SetUp,
    testing::Values(
        SetUpCase{"Guest",
                  1,
                  L"Registered virtual machines on ",
                  {{L"DC0_H0_VM0"}, {L"DC0_H0_VM1"}},
                  0,
                  0,
                  nullptr,
                  Answer::NotAsked,
                  L"VMN=DC0_H0_VM0#VMS=#THUMB=" THUMB L"#CHK=GUEST#",
                  true,
                  {L"Virtual machine (DC0_H0_VM0) is on, its guest is alive: VMware Tools running, "
                   L"heartbeat green"},
                  nullptr},
        // Through the trust question, as the machine listing asks it.
        SetUpCase{"Datastore",
                  2,
                  L"Datastores on ",
                  {{L"LocalDS_0 (", L" % free)"}},
                  0,
                  txtThreshold,
                  L" 0 ",
                  Answer::Yes,
                  L"VMN=#VMS=#THUMB=" THUMB L"#CHK=DATASTORE#DSN=LocalDS_0#MINFREE=0#",
                  true,
                  {L"Datastore (LocalDS_0) has ", L" % free, at least 0 %"},
                  L"picker_datastores"},
        SetUpCase{"Snapshot",
                  3,
                  L"Registered virtual machines on ",
                  {{L"DC0_H0_VM0"}, {L"DC0_H0_VM1"}},
                  1,
                  txtThreshold,
                  L"30",
                  Answer::NotAsked,
                  L"VMN=DC0_H0_VM1#VMS=#THUMB=" THUMB L"#CHK=SNAPSHOT#MAXAGE=30#",
                  true,
                  {L"Virtual machine (DC0_H0_VM1) has no snapshot older than 30 day(s)"},
                  nullptr},
        SetUpCase{"Host",
                  4,
                  L"Hosts on ",
                  {{L"DC0_H0 (connected, status green)"}},
                  0,
                  0,
                  nullptr,
                  Answer::NotAsked,
                  L"VMN=#VMS=#THUMB=" THUMB L"#CHK=HOST#HSN=DC0_H0#",
                  true,
                  {L"Host (DC0_H0) is connected, not in maintenance mode, its status green"},
                  L"picker_hosts"},
        SetUpCase{"Alarm",
                  5,
                  L"",
                  {},
                  0,
                  cmbAlarmStatus,
                  L"yellow",
                  Answer::NotAsked,
                  L"VMN=#VMS=#THUMB=" THUMB L"#CHK=ALARM#ALS=yellow#",
                  true,
                  {L"No triggered alarm is yellow or red"},
                  nullptr}),
    [](const auto &info) { return std::string(info.param.name); });
#undef THUMB

} // namespace
