// The settings dialog as a host meets it: the main thread calls qm_showGUI on a
// brennow.vmwarecom object created by ProgID while a driver thread works the dialog
// with window messages and reads back what it shows.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/win/automation.h"
#include "component/brennow_h.h"
#include "dialogs/frmmainControls.h"
#include "dialogs/frmvmList.h"
#include "dialogs/resource.h"
#include "dialogs/topWindow.h"
#include "tests/wine/ui/UiDriver.h"
#include "tests/wine/wintest.h"

using brennow::win::Variant;
using Microsoft::WRL::ComPtr;
using namespace brennow::dialogs::frmmainControl;
using brennow::dialogs::kFrmmainClassName;

namespace {

const std::wstring kTitle = L"ZAzire Razoro/ROZ/IDU Veruzuz Ededevi Dodorav (version 1.0 build  7)";
const std::vector<std::wstring> kStates = {L"on", L"off", L"suspended", L"stuck"};
const std::vector<std::wstring> kServerTypes = {L"VMware automation component",
                                                L"vSphere (ESXi, vCenter)"};
constexpr HRESULT kInvalidProcedureCall = static_cast<HRESULT>(0x800A0005);

// ---- the plug-in object, late-bound as a host uses it

void put(IDispatch *plugin, const wchar_t *property, const VARIANT &value) {
  ASSERT_EQ(wintest::putProperty(plugin, property, value), S_OK) << "put " << property;
}

void putText(IDispatch *plugin, const wchar_t *property, const std::wstring &text) {
  Variant value;
  *value.get() = wintest::textVariant(text);
  put(plugin, property, *value.get());
}

std::wstring parameterOf(IDispatch *plugin) {
  Variant value;
  EXPECT_EQ(wintest::invoke(plugin, L"qm_parameter", DISPATCH_PROPERTYGET, {}, value.get()), S_OK);
  return wintest::text(*value.get());
}

VARTYPE parameterType(IDispatch *plugin) {
  Variant value;
  EXPECT_EQ(wintest::invoke(plugin, L"qm_parameter", DISPATCH_PROPERTYGET, {}, value.get()), S_OK);
  return V_VT(value.get());
}

struct CallResult {
  HRESULT hr = E_FAIL;
  SCODE scode = S_OK;
  std::wstring description;
};

CallResult showGUI(IDispatch *plugin) {
  brennow::win::ExcepInfo exception;
  CallResult result;
  result.hr = wintest::invoke(plugin, L"qm_showGUI", DISPATCH_METHOD, {}, nullptr, &exception);
  result.scode = exception.info().scode;
  result.description = exception.description();
  return result;
}

// Shows `plugin`'s dialog and, once it is there, lets `drive` work it from the driver
// thread; `thread` is the one showing it. What qm_showGUI returned.
CallResult showAndDrive(IDispatch *plugin,
                        const std::function<void(HWND dialog, DWORD thread)> &drive) {
  CallResult call;
  uitest::runShowing([&] { call = showGUI(plugin); },
                     [&](uitest::Showing &showing) {
                       const HWND dialog = showing.waitForWindow(kFrmmainClassName);
                       ASSERT_TRUE(dialog) << "the dialog did not show";
                       drive(dialog, showing.threadId());
                     });
  return call;
}

// ---- reading the dialog from the driver thread

HWND control(HWND dialog, int id) { return GetDlgItem(dialog, id); }
std::wstring boxText(HWND dialog, int id) { return uitest::textOf(control(dialog, id)); }

LONG_PTR styleOf(HWND window) { return GetWindowLongPtrW(window, GWL_STYLE); }

// The combo box's focus lies in its edit field.
bool hasFocus(HWND dialog, DWORD threadId, int id) {
  const HWND focus = uitest::focusOf(threadId);
  const HWND wanted = control(dialog, id);
  return focus && (focus == wanted || GetParent(focus) == wanted);
}

bool waitForFocus(HWND dialog, DWORD threadId, int id) {
  return uitest::waitUntil([&] { return hasFocus(dialog, threadId, id); });
}

bool waitUntilGone(HWND window) {
  return uitest::waitUntil([&] { return !IsWindow(window) || !IsWindowVisible(window); });
}

struct Boxes {
  std::wstring username;
  std::wstring password;
  std::wstring vmName;
  std::wstring vmState;
};

Boxes boxesOf(HWND dialog) {
  return {boxText(dialog, txtUsername), boxText(dialog, txtPassword), boxText(dialog, txtVMName),
          boxText(dialog, cmbVMState)};
}

void expectBoxes(HWND dialog, const Boxes &expected) {
  const Boxes shown = boxesOf(dialog);
  EXPECT_EQ(shown.username, expected.username);
  EXPECT_EQ(shown.password, expected.password);
  EXPECT_EQ(shown.vmName, expected.vmName);
  EXPECT_EQ(shown.vmState, expected.vmState);
}

void closeFromFrame(HWND dialog) { PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }

// The message box the dialog opened, owned by it.
HWND waitForMessageBox(HWND dialog) {
  return uitest::waitForWindow(
      {L"#32770", GetWindowThreadProcessId(dialog, nullptr), true, dialog});
}

bool hasIconResource(const wchar_t *module, int id) {
  const HMODULE loaded = LoadLibraryExW(module, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  const bool found = loaded && FindResourceW(loaded, MAKEINTRESOURCEW(id), RT_GROUP_ICON);
  if (loaded)
    FreeLibrary(loaded);
  return found;
}

// A host's own top-level window on the calling thread.
class HostWindow {
public:
  explicit HostWindow(bool enabled)
      : window_(CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10,
                                200, 100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr)) {
    EnableWindow(window_, enabled);
  }
  ~HostWindow() { DestroyWindow(window_); }
  HostWindow(const HostWindow &) = delete;
  HostWindow &operator=(const HostWindow &) = delete;
  HWND get() const { return window_; }

private:
  HWND window_;
};

class SettingsDialog : public ::testing::Test {
protected:
  ComPtr<IDispatch> newPlugin() {
    ComPtr<IDispatch> plugin = wintest::createPlugin();
    EXPECT_TRUE(plugin) << "brennow.vmwarecom could not be created (is brennow.dll registered?)";
    plugins_.push_back(plugin);
    return plugin;
  }

  void TearDown() override {
    plugins_.clear();
    for (const wchar_t *className : {kFrmmainClassName, L"#32770", L"HH Parent"})
      EXPECT_TRUE(uitest::processWindows({className, 0, false, nullptr}).empty())
          << "a window of class " << testing::PrintToString(std::wstring(className)) << " is left";
  }

private:
  std::vector<ComPtr<IDispatch>> plugins_;
};

// ---- layout, title and control settings

struct DesignedControl {
  int id;
  const wchar_t *name;
  const wchar_t *windowClass;
  uitest::Twips place;
};

const DesignedControl kDesign[] = {
    {Label1, L"Label1", L"Static", {240, 240, 855, 255}},
    {txtHostname, L"txtHostname", L"Edit", {1320, 180, 3015, 285}},
    {btOK, L"btOK", L"Button", {7080, 480, 735, 375}},
    {Label2, L"Label2", L"Static", {240, 660, 975, 255}},
    {txtUsername, L"txtUsername", L"Edit", {1320, 600, 3015, 285}},
    {Label3, L"Label3", L"Static", {240, 1020, 975, 255}},
    {txtPassword, L"txtPassword", L"Edit", {1320, 960, 3015, 285}},
    {Label6, L"Label6", L"Static", {240, 1560, 1215, 255}},
    {txtVMName, L"txtVMName", L"Edit", {1440, 1500, 5415, 285}},
    {cmdListVMS, L"cmdListVMS", L"Button", {6960, 1560, 495, 255}},
    {Label7, L"Label7", L"Static", {1440, 1920, 735, 255}},
    {cmbVMState, L"cmbVMState", L"ComboBox", {2280, 1860, 1335, 315}},
    {Label4, L"Label4", L"Static", {120, 2460, 1215, 255}},
    {txtTimeout, L"txtTimeout", L"Edit", {1560, 2400, 1095, 285}},
    {Label5, L"Label5", L"Static", {2760, 2460, 1215, 255}},
    {lblparameter, L"lblparameter", L"Static", {240, 2880, 7935, 255}},
    {Label8, L"Label8", L"Static", {3990, 2460, 1110, 255}},
    {cmbServerType, L"cmbServerType", L"ComboBox", {5130, 2385, 2895, 315}},
};

const std::pair<int, const wchar_t *> kCaptions[] = {
    {Label1, L"Hostname:"},        {btOK, L"&OK"},
    {Label2, L"Username:"},        {Label3, L"Password:"},
    {Label6, L"Virtual machine:"}, {cmdListVMS, L"..."},
    {Label7, L"must be "},         {Label4, L"Timeout:"},
    {Label5, L"seconds"},          {lblparameter, L""},
    {Label8, L"Server type:"},     {cmbServerType, kServerTypes[0].c_str()},
};

// The designed controls in their tab order: what the dialog shows with the automation
// component chosen.
std::vector<int> designedIds() {
  return {btOK,        txtTimeout, Label4, Label5,      lblparameter, Label1,
          txtHostname, Label2,     Label3, txtUsername, txtPassword,  Label6,
          txtVMName,   cmdListVMS, Label7, cmbVMState,  Label8,       cmbServerType};
}

// One pixel, in twips: what rounding to whole pixels may cost.
int pixelTolerance() { return uitest::pixelsToTwipsX(1); }

void expectPlace(const uitest::Twips &shown, const uitest::Twips &designed, const wchar_t *name) {
  const int tolerance = pixelTolerance();
  EXPECT_NEAR(shown.left, designed.left, tolerance) << testing::PrintToString(std::wstring(name));
  EXPECT_NEAR(shown.top, designed.top, tolerance) << testing::PrintToString(std::wstring(name));
  EXPECT_NEAR(shown.width, designed.width, tolerance) << testing::PrintToString(std::wstring(name));
  EXPECT_NEAR(shown.height, designed.height, tolerance)
      << testing::PrintToString(std::wstring(name));
}

void expectDesignedPlaces(HWND dialog) {
  for (const DesignedControl &designed : kDesign) {
    const HWND window = control(dialog, designed.id);
    ASSERT_TRUE(window) << testing::PrintToString(std::wstring(designed.name));
    EXPECT_EQ(uitest::classOf(window), designed.windowClass);
    expectPlace(uitest::controlTwips(window), designed.place, designed.name);
  }
}

TEST_F(SettingsDialog, OpensWithTheDesignedLayoutTitleAndSettings) {
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  putText(plugin.Get(), L"qm_hostname", L"  srv1  ");
  Variant timeout;
  *timeout.get() = wintest::int32Variant(30);
  put(plugin.Get(), L"qm_timeout", *timeout.get());

  const CallResult call = showAndDrive(plugin.Get(), [&](HWND dialog, DWORD thread) {
    EXPECT_EQ(uitest::textOf(dialog), kTitle);
    const uitest::Twips client = uitest::clientTwips(dialog);
    EXPECT_NEAR(client.width, 8085, pixelTolerance());
    EXPECT_NEAR(client.height, 3255, pixelTolerance());
    expectDesignedPlaces(dialog);
    EXPECT_EQ(uitest::visibleControls(dialog), designedIds()) << "a control the design lacks shows";
    for (const auto &[id, caption] : kCaptions)
      EXPECT_EQ(boxText(dialog, id), caption) << id;

    const LONG_PTR frame = styleOf(dialog);
    for (LONG_PTR bit : {WS_CAPTION, WS_SYSMENU, WS_THICKFRAME, WS_MINIMIZEBOX, WS_MAXIMIZEBOX})
      EXPECT_EQ(frame & bit, bit) << std::hex << bit;
    EXPECT_FALSE(GetMenu(dialog));
    EXPECT_TRUE(GetWindowLongPtrW(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST);
    EXPECT_EQ(GetForegroundWindow(), dialog);
    EXPECT_EQ(GetWindowContextHelpId(dialog), 10u);
    if (hasIconResource(wintest::brennowPath().c_str(), IDI_FRMMAIN)) {
      EXPECT_TRUE(uitest::sendBounded(dialog, WM_GETICON, ICON_BIG));
      EXPECT_TRUE(uitest::sendBounded(dialog, WM_GETICON, ICON_SMALL));
    }

    EXPECT_EQ(boxText(dialog, txtHostname), L"srv1");
    EXPECT_EQ(boxText(dialog, txtTimeout), L"30");
    EXPECT_FALSE(IsWindowEnabled(control(dialog, txtHostname)));
    EXPECT_FALSE(IsWindowEnabled(control(dialog, txtTimeout)));
    for (int id : {btOK, txtUsername, txtPassword, txtVMName, cmdListVMS, cmbVMState})
      EXPECT_TRUE(IsWindowEnabled(control(dialog, id))) << id;
    EXPECT_TRUE(styleOf(control(dialog, txtPassword)) & ES_PASSWORD);
    EXPECT_EQ(uitest::sendBounded(control(dialog, txtPassword), EM_GETPASSWORDCHAR), L'*');
    EXPECT_EQ(styleOf(control(dialog, cmbVMState)) & 3, CBS_DROPDOWN);
    EXPECT_EQ(uitest::comboItems(control(dialog, cmbVMState)), kStates);
    EXPECT_EQ(styleOf(control(dialog, cmbServerType)) & 3, CBS_DROPDOWNLIST);
    EXPECT_EQ(uitest::comboItems(control(dialog, cmbServerType)), kServerTypes);
    EXPECT_EQ(styleOf(control(dialog, Label4)) & SS_TYPEMASK, SS_RIGHT);
    EXPECT_TRUE(waitForFocus(dialog, thread, btOK));
    expectBoxes(dialog, {L"", L"", L"", L"on"});
    EXPECT_TRUE(uitest::saveScreenshot(L"settings_dialog"));
    closeFromFrame(dialog);
  });
  EXPECT_EQ(call.hr, S_OK);
  EXPECT_EQ(parameterType(plugin.Get()), VT_EMPTY) << "closing without OK writes nothing";
}

TEST_F(SettingsDialog, ControlsKeepTheirPlacesWhenResizedOrMaximized) {
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD) {
    SetWindowPos(dialog, nullptr, 0, 0, 300, 200, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_TRUE(uitest::waitUntil([&] { return uitest::clientTwips(dialog).width < 8085; }));
    expectDesignedPlaces(dialog);
    PostMessageW(dialog, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
    EXPECT_TRUE(uitest::waitUntil([&] { return IsZoomed(dialog) != FALSE; }));
    expectDesignedPlaces(dialog);
    closeFromFrame(dialog);
  });
}

// ---- filling from the parameter string, and what OK writes back

enum class Finish { ClickOk, EnterOnFocusedOk };

struct ParameterCase {
  const char *name;
  const wchar_t *parameter;
  Boxes shown;
  Finish finish;
  const wchar_t *written;
};

class ParameterString : public SettingsDialog,
                        public ::testing::WithParamInterface<ParameterCase> {};

TEST_P(ParameterString, FillsTheBoxesAndOkWritesTheNewString) {
  const ParameterCase &c = GetParam();
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  putText(plugin.Get(), L"qm_parameter", c.parameter);

  const CallResult call = showAndDrive(plugin.Get(), [&](HWND dialog, DWORD thread) {
    expectBoxes(dialog, c.shown);
    ASSERT_TRUE(waitForFocus(dialog, thread, btOK));
    if (c.finish == Finish::ClickOk)
      uitest::click(control(dialog, btOK));
    else
      uitest::pressKey(uitest::focusOf(thread), VK_RETURN);
  });
  EXPECT_EQ(call.hr, S_OK);
  EXPECT_EQ(parameterOf(plugin.Get()), c.written);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParameterString,
    ::testing::Values(ParameterCase{"Empty",
                                    L"",
                                    {L"", L"", L"", L"on"},
                                    Finish::ClickOk,
                                    L"#VSTP=VMWARE#USR=#PWD=#VMN=#VMS=on#"},
                      ParameterCase{"WithoutState",
                                    L"#USR=bob#VMN=vm1#",
                                    {L"bob", L"", L"vm1", L""},
                                    Finish::EnterOnFocusedOk,
                                    L"#VSTP=VMWARE#USR=bob#PWD=#VMN=vm1#VMS=#"},
                      ParameterCase{
                          "FullWithBlanksAndUnlistedState",
                          L"#VSTP=VMWARE#USR=  alice  #PWD=IHNlY3JldCA=#VMN= vm 1 #VMS=running#",
                          {L"  alice  ", L" secret ", L" vm 1 ", L"running"},
                          Finish::EnterOnFocusedOk,
                          L"#VSTP=VMWARE#USR=alice#PWD=IHNlY3JldCA=#VMN=vm 1#VMS=running#"},
                      ParameterCase{"KeysInAnyCase",
                                    L"#usr=Bob#Pwd=c2VjcmV0#vms=off#",
                                    {L"Bob", L"secret", L"", L"off"},
                                    Finish::ClickOk,
                                    L"#VSTP=VMWARE#USR=Bob#PWD=c2VjcmV0#VMN=#VMS=off#"}),
    [](const auto &info) { return std::string(info.param.name); });

// The server type: read from "VSTP", written back with "THUMB" as read for vSphere only.
struct ServerTypeCase {
  const char *name;
  const wchar_t *parameter;
  const std::wstring &shown;
  const std::wstring *chosen; // picked from the list before OK, if at all
  const wchar_t *written;
};

class ServerType : public SettingsDialog, public ::testing::WithParamInterface<ServerTypeCase> {};

TEST_P(ServerType, FollowsVstpAndOkWritesTheStringOfTheChosenType) {
  const ServerTypeCase &c = GetParam();
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  putText(plugin.Get(), L"qm_parameter", c.parameter);
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD) {
    const HWND types = control(dialog, cmbServerType);
    EXPECT_EQ(uitest::textOf(types), c.shown);
    if (c.chosen)
      uitest::sendBounded(types, CB_SELECTSTRING, WPARAM(-1),
                          reinterpret_cast<LPARAM>(c.chosen->c_str()));
    if (std::string(c.name) == "VSphereInAnyCase") {
      EXPECT_TRUE(uitest::saveScreenshot(L"settings_vsphere"));
    }
    uitest::click(control(dialog, btOK));
  });
  EXPECT_EQ(parameterOf(plugin.Get()), c.written);
}

#define THUMB L"448F628A8A65AA18560E53A80C53ACB38C51B427DF0334082349141147DC9BF6"
INSTANTIATE_TEST_SUITE_P(
    Cases, ServerType,
    ::testing::Values(
        ServerTypeCase{"AutomationByteForByte",
                       L"#VSTP=VMWARE#USR=bob#PWD=c2VjcmV0#VMN=vm1#VMS=on#THUMB=" THUMB L"#",
                       kServerTypes[0], nullptr,
                       L"#VSTP=VMWARE#USR=bob#PWD=c2VjcmV0#VMN=vm1#VMS=on#"},
        ServerTypeCase{"UnknownTypeIsTheAutomationComponent", L"#VSTP=other#USR=bob#",
                       kServerTypes[0], nullptr, L"#VSTP=VMWARE#USR=bob#PWD=#VMN=#VMS=#"},
        ServerTypeCase{
            "VSphereInAnyCase",
            L"#vstp=vSphere#USR=root#PWD=c2VjcmV0#VMN=DC0_H0_VM0#VMS=off#THUMB=" THUMB L"#",
            kServerTypes[1], nullptr,
            L"#VSTP=VSPHERE#USR=root#PWD=c2VjcmV0#VMN=DC0_H0_VM0#VMS=off#THUMB=" THUMB L"#"},
        ServerTypeCase{"ChoosingVSphereWritesAnEmptyThumb", L"#USR=bob#", kServerTypes[0],
                       &kServerTypes[1], L"#VSTP=VSPHERE#USR=bob#PWD=#VMN=#VMS=#THUMB=#"},
        ServerTypeCase{"ChoosingTheAutomationComponentDropsTheThumb",
                       L"#VSTP=VSPHERE#USR=bob#THUMB=" THUMB L"#", kServerTypes[1],
                       &kServerTypes[0], L"#VSTP=VMWARE#USR=bob#PWD=#VMN=#VMS=#"}),
    [](const auto &info) { return std::string(info.param.name); });
#undef THUMB

// ---- the vSphere checks

const std::vector<std::wstring> kChecks = {L"Machine state", L"Guest alive", L"Datastore space",
                                           L"Snapshot age",  L"Host state",  L"Triggered alarms"};
enum CheckEntry : int { MachineState, Guest, Datastore, Snapshot, Host, Alarm, Unknown };

// Chooses vSphere and the check list's entry `entry`, as a user does.
void chooseCheck(HWND dialog, int entry) {
  uitest::chooseComboItem(control(dialog, cmbServerType), 1);
  uitest::chooseComboItem(control(dialog, cmbCheck), entry);
}

// The rows shown while vSphere is chosen: the check row, then the object row and the
// comparison's row of the check.
std::vector<int> vsphereIds(std::vector<int> objectRow, std::vector<int> comparisonRow) {
  std::vector<int> ids = {btOK,        txtTimeout,  Label4,  Label5, lblparameter,
                          Label1,      txtHostname, Label2,  Label3, txtUsername,
                          txtPassword, Label9,      cmbCheck};
  ids.insert(ids.end(), objectRow.begin(), objectRow.end());
  ids.insert(ids.end(), comparisonRow.begin(), comparisonRow.end());
  ids.insert(ids.end(), {Label8, cmbServerType});
  return ids;
}
const std::vector<int> kObjectRow = {Label6, txtVMName, cmdListVMS};

// The places of the controls shown for the checks: free places of the dialog as designed.
const DesignedControl kCheckDesign[] = {
    {Label9, L"Label9", L"Static", {4440, 1020, 660, 255}},
    {cmbCheck, L"cmbCheck", L"ComboBox", {5130, 945, 2895, 315}},
    {txtThreshold, L"txtThreshold", L"Edit", {2280, 1875, 735, 285}},
    {lblThresholdUnit, L"lblThresholdUnit", L"Static", {3120, 1920, 1215, 255}},
    {cmbAlarmStatus, L"cmbAlarmStatus", L"ComboBox", {2280, 1860, 1335, 315}},
};

struct RowsCase {
  const char *name;
  int entry;
  std::vector<int> shown;
  std::vector<std::pair<int, const wchar_t *>> texts; // with an empty parameter string
};

class CheckRows : public SettingsDialog, public ::testing::WithParamInterface<RowsCase> {};

TEST_P(CheckRows, ShowWhatTheCheckNamesAndComparesWithAndKeepTheDesign) {
  const RowsCase &c = GetParam();
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD) {
    chooseCheck(dialog, c.entry);
    EXPECT_EQ(uitest::visibleControls(dialog), c.shown);
    for (const auto &[id, text] : c.texts)
      EXPECT_EQ(boxText(dialog, id), text) << id;
    EXPECT_EQ(uitest::comboItems(control(dialog, cmbCheck)), kChecks);
    EXPECT_EQ(styleOf(control(dialog, cmbCheck)) & 3, CBS_DROPDOWNLIST);
    const uitest::Twips client = uitest::clientTwips(dialog);
    EXPECT_NEAR(client.width, 8085, pixelTolerance());
    EXPECT_NEAR(client.height, 3255, pixelTolerance());
    expectDesignedPlaces(dialog);
    for (const DesignedControl &designed : kCheckDesign)
      expectPlace(uitest::controlTwips(control(dialog, designed.id)), designed.place,
                  designed.name);
    if (c.entry == Datastore) {
      uitest::setTextOf(control(dialog, txtVMName), L"LocalDS_0");
      EXPECT_TRUE(uitest::saveScreenshot(L"settings_datastore_check"));
    }
    // Back to the automation component: the dialog as it always was.
    uitest::chooseComboItem(control(dialog, cmbServerType), 0);
    EXPECT_EQ(uitest::visibleControls(dialog), designedIds());
    for (const auto &[id, caption] : kCaptions)
      EXPECT_EQ(boxText(dialog, id), caption) << id;
    closeFromFrame(dialog);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Checks, CheckRows,
    ::testing::Values(
        RowsCase{"MachineState",
                 MachineState,
                 vsphereIds(kObjectRow, {Label7, cmbVMState}),
                 {{Label6, L"Virtual machine:"}, {Label7, L"must be "}, {cmbVMState, L"on"}}},
        RowsCase{"Guest", Guest, vsphereIds(kObjectRow, {}), {{Label6, L"Virtual machine:"}}},
        RowsCase{"Datastore",
                 Datastore,
                 vsphereIds(kObjectRow, {Label7, txtThreshold, lblThresholdUnit}),
                 {{Label6, L"Datastore:"},
                  {txtVMName, L""},
                  {Label7, L"at least "},
                  {txtThreshold, L"10"},
                  {lblThresholdUnit, L"% free"}}},
        RowsCase{"Snapshot",
                 Snapshot,
                 vsphereIds(kObjectRow, {Label7, txtThreshold, lblThresholdUnit}),
                 {{Label6, L"Virtual machine:"},
                  {Label7, L"at most "},
                  {txtThreshold, L"7"},
                  {lblThresholdUnit, L"days old"}}},
        RowsCase{"Host", Host, vsphereIds(kObjectRow, {}), {{Label6, L"Host:"}}},
        RowsCase{"Alarm",
                 Alarm,
                 vsphereIds({}, {Label7, cmbAlarmStatus}),
                 {{Label7, L"fails at "}, {cmbAlarmStatus, L"red"}}}),
    [](const auto &info) { return std::string(info.param.name); });

// The check's rows in the tab order: the check after the password, then its object, then
// what it compares with.
TEST_F(SettingsDialog, TabWalksTheCheckRowsInOrder) {
  const std::pair<int, std::vector<int>> cases[] = {
      {MachineState, {txtPassword, cmbCheck, txtVMName, cmdListVMS, cmbVMState, cmbServerType}},
      {Datastore, {txtPassword, cmbCheck, txtVMName, cmdListVMS, txtThreshold, cmbServerType}},
      {Alarm, {txtPassword, cmbCheck, cmbAlarmStatus, cmbServerType, btOK}},
  };
  for (const auto &[entry, order] : cases) {
    ComPtr<IDispatch> plugin = newPlugin();
    ASSERT_TRUE(plugin);
    showAndDrive(plugin.Get(), [&, entry = entry, order = order](HWND dialog, DWORD thread) {
      chooseCheck(dialog, entry);
      SendMessageTimeoutW(dialog, WM_NEXTDLGCTL,
                          reinterpret_cast<WPARAM>(control(dialog, txtUsername)), TRUE,
                          SMTO_ABORTIFHUNG, 5000, nullptr);
      ASSERT_TRUE(waitForFocus(dialog, thread, txtUsername));
      for (int next : order) {
        uitest::pressKey(uitest::focusOf(thread), VK_TAB);
        EXPECT_TRUE(waitForFocus(dialog, thread, next)) << "check " << entry << ": Tab to " << next;
      }
      closeFromFrame(dialog);
    });
  }
}

struct CheckStringCase {
  const char *name;
  const wchar_t *parameter;
  const wchar_t *check;                               // the check list's text, "" when hidden
  std::vector<std::pair<int, const wchar_t *>> shown; // boxes and labels
  const wchar_t *written;
};

class CheckString : public SettingsDialog, public ::testing::WithParamInterface<CheckStringCase> {};

TEST_P(CheckString, ShowsTheCheckReadAndOkWritesItsKeys) {
  const CheckStringCase &c = GetParam();
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  putText(plugin.Get(), L"qm_parameter", c.parameter);
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD) {
    const HWND checks = control(dialog, cmbCheck);
    EXPECT_EQ(IsWindowVisible(checks) ? uitest::textOf(checks) : L"", c.check);
    for (const auto &[id, text] : c.shown) {
      EXPECT_TRUE(IsWindowVisible(control(dialog, id))) << id;
      EXPECT_EQ(boxText(dialog, id), text) << id;
    }
    uitest::click(control(dialog, btOK));
  });
  EXPECT_EQ(parameterOf(plugin.Get()), c.written);
}

#define ACCOUNT L"USR=u#PWD=c2VjcmV0#"
#define THUMB L"448F628A8A65AA18560E53A80C53ACB38C51B427DF0334082349141147DC9BF6"
INSTANTIATE_TEST_SUITE_P(
    Cases, CheckString,
    ::testing::Values(
        CheckStringCase{"AutomationByteForByte",
                        L"#VSTP=VMWARE#" ACCOUNT L"VMN=vm1#VMS=on#CHK=HOST#HSN=h#",
                        L"",
                        {{Label6, L"Virtual machine:"}, {txtVMName, L"vm1"}, {cmbVMState, L"on"}},
                        L"#VSTP=VMWARE#" ACCOUNT L"VMN=vm1#VMS=on#"},
        CheckStringCase{"MachineStateIsTodaysString",
                        L"#VSTP=VSPHERE#" ACCOUNT L"VMN=vm1#VMS=off#THUMB=" THUMB L"#",
                        L"Machine state",
                        {{txtVMName, L"vm1"}, {cmbVMState, L"off"}},
                        L"#VSTP=VSPHERE#" ACCOUNT L"VMN=vm1#VMS=off#THUMB=" THUMB L"#"},
        CheckStringCase{
            "Datastore",
            L"#VSTP="
            L"VSPHERE#" ACCOUNT L"VMN=#VMS=#THUMB=" THUMB L"#CHK=datastore#DSN=ds1#MINFREE=25#",
            L"Datastore space",
            {{Label6, L"Datastore:"}, {txtVMName, L"ds1"}, {txtThreshold, L"25"}},
            L"#VSTP="
            L"VSPHERE#" ACCOUNT L"VMN=#VMS=#THUMB=" THUMB L"#CHK=DATASTORE#DSN=ds1#MINFREE=25#"},
        CheckStringCase{"SnapshotWithTheDefaultAge",
                        L"#VSTP=VSPHERE#" ACCOUNT L"VMN=db#THUMB=#CHK=SNAPSHOT#",
                        L"Snapshot age",
                        {{txtVMName, L"db"}, {txtThreshold, L"7"}},
                        L"#VSTP=VSPHERE#" ACCOUNT L"VMN=db#VMS=#THUMB=#CHK=SNAPSHOT#MAXAGE=7#"},
        CheckStringCase{"Guest",
                        L"#VSTP=VSPHERE#" ACCOUNT L"VMN=web01#VMS=#THUMB=#CHK=GUEST#",
                        L"Guest alive",
                        {{txtVMName, L"web01"}},
                        L"#VSTP=VSPHERE#" ACCOUNT L"VMN=web01#VMS=#THUMB=#CHK=GUEST#"},
        CheckStringCase{"Host",
                        L"#VSTP=VSPHERE#" ACCOUNT L"THUMB=#CHK=HOST#HSN=esx01#",
                        L"Host state",
                        {{Label6, L"Host:"}, {txtVMName, L"esx01"}},
                        L"#VSTP=VSPHERE#" ACCOUNT L"VMN=#VMS=#THUMB=#CHK=HOST#HSN=esx01#"},
        CheckStringCase{"Alarm",
                        L"#VSTP=VSPHERE#" ACCOUNT L"VMN=#VMS=#THUMB=#CHK=ALARM#ALS=yellow#",
                        L"Triggered alarms",
                        {{Label7, L"fails at "}, {cmbAlarmStatus, L"yellow"}},
                        L"#VSTP=VSPHERE#" ACCOUNT L"VMN=#VMS=#THUMB=#CHK=ALARM#ALS=yellow#"},
        // Strings the dialog cannot show keep their keys.
        CheckStringCase{"UnknownCheckKeepsItsKeys",
                        L"#VSTP=VSPHERE#" ACCOUNT L"VMN=vm#VMS=on#THUMB=#CHK=Speed#MINFREE=5#",
                        L"CHK=Speed (kept as it is)",
                        {},
                        L"#VSTP=VSPHERE#" ACCOUNT L"VMN=vm#VMS=on#THUMB=#CHK=Speed#MINFREE=5#"},
        CheckStringCase{"KeysOfAnotherCheckKept",
                        L"#VSTP=VSPHERE#" ACCOUNT L"VMN=#VMS=#THUMB=#CHK=HOST#HSN=h#MAXAGE=3#",
                        L"Host state",
                        {{txtVMName, L"h"}},
                        L"#VSTP=VSPHERE#" ACCOUNT L"VMN=#VMS=#THUMB=#CHK=HOST#MAXAGE=3#HSN=h#"}),
    [](const auto &info) { return std::string(info.param.name); });
#undef THUMB
#undef ACCOUNT

// A check set up in the dialog alone; the texts typed for one check's keys stay while the user
// looks at another.
TEST_F(SettingsDialog, SettingUpAChecksKeysByHand) {
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD) {
    uitest::setTextOf(control(dialog, txtUsername), L"monitor");
    chooseCheck(dialog, Datastore);
    uitest::setTextOf(control(dialog, txtVMName), L" ds1 ");
    uitest::setTextOf(control(dialog, txtThreshold), L" 15 ");
    uitest::chooseComboItem(control(dialog, cmbCheck), Host);
    EXPECT_EQ(boxText(dialog, txtVMName), L"");
    uitest::setTextOf(control(dialog, txtVMName), L"esx01");
    uitest::chooseComboItem(control(dialog, cmbCheck), Datastore);
    EXPECT_EQ(boxText(dialog, txtVMName), L" ds1 ");
    EXPECT_EQ(boxText(dialog, txtThreshold), L" 15 ");
    uitest::click(control(dialog, btOK));
  });
  EXPECT_EQ(parameterOf(plugin.Get()),
            L"#VSTP=VSPHERE#USR=monitor#PWD=#VMN=#VMS=#THUMB=#CHK=DATASTORE#DSN=ds1#MINFREE=15#");

  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD) {
    uitest::chooseComboItem(control(dialog, cmbCheck), Alarm);
    uitest::chooseComboItem(control(dialog, cmbAlarmStatus), 1);
    uitest::click(control(dialog, btOK));
  });
  EXPECT_EQ(parameterOf(plugin.Get()),
            L"#VSTP=VSPHERE#USR=monitor#PWD=#VMN=#VMS=#THUMB=#CHK=ALARM#ALS=yellow#");
}

struct CheckRefusalCase {
  const char *name;
  int entry;
  int box;
  const wchar_t *typed;
  const wchar_t *message;
};

class CheckRefusal : public SettingsDialog,
                     public ::testing::WithParamInterface<CheckRefusalCase> {};

TEST_P(CheckRefusal, OkShowsWhyAndKeepsTheDialogOpen) {
  const CheckRefusalCase &c = GetParam();
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  putText(plugin.Get(), L"qm_parameter", L"#USR=orig#");
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD) {
    chooseCheck(dialog, c.entry);
    uitest::setTextOf(control(dialog, c.box), c.typed);
    uitest::click(control(dialog, btOK));
    const HWND box = waitForMessageBox(dialog);
    ASSERT_TRUE(box) << "no message box";
    EXPECT_EQ(uitest::textOf(box), L"Corvalen");
    EXPECT_EQ(uitest::textOf(GetDlgItem(box, 0xFFFF)), c.message);
    uitest::click(GetDlgItem(box, IDOK));
    EXPECT_TRUE(waitUntilGone(box));
    EXPECT_TRUE(IsWindowVisible(dialog)) << "the dialog closed";
    EXPECT_EQ(boxText(dialog, c.box), c.typed);
    closeFromFrame(dialog);
  });
  EXPECT_EQ(parameterOf(plugin.Get()), L"#USR=orig#");
}

INSTANTIATE_TEST_SUITE_P(
    Fields, CheckRefusal,
    ::testing::Values(CheckRefusalCase{"FreeSpaceOutOfRange", Datastore, txtThreshold, L"101",
                                       L"The free space must be a whole number from 0 to 100."},
                      CheckRefusalCase{"AgeNotAWholeNumber", Snapshot, txtThreshold, L"1.5",
                                       L"The snapshot age must be a whole number from 1 to 3650."},
                      CheckRefusalCase{"DatastoreNameWithHash", Datastore, txtVMName, L"ds#1",
                                       L"The datastore name must not contain \"#\"."},
                      CheckRefusalCase{"HostNameWithHash", Host, txtVMName, L"esx#",
                                       L"The host name must not contain \"#\"."},
                      CheckRefusalCase{
                          "GuestWithoutMachine", Guest, txtVMName, L" ",
                          L"The Guest alive check needs the name of a virtual machine."},
                      CheckRefusalCase{"AnotherAlarmStatus", Alarm, cmbAlarmStatus, L"orange",
                                       L"The alarm status must be red or yellow."}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SettingsDialog, TypedValuesAreTrimmedAndThePasswordKeepsItsBlanks) {
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD) {
    uitest::setTextOf(control(dialog, txtUsername), L"  alice  ");
    uitest::setTextOf(control(dialog, txtPassword), L" pw ");
    uitest::setTextOf(control(dialog, txtVMName), L"  vm2 ");
    uitest::setTextOf(control(dialog, cmbVMState), L"  stuck  ");
    uitest::click(control(dialog, btOK));
  });
  EXPECT_EQ(parameterOf(plugin.Get()), L"#VSTP=VMWARE#USR=alice#PWD=IHB3IA==#VMN=vm2#VMS=stuck#");
}

TEST_F(SettingsDialog, AStatePickedFromTheListIsWritten) {
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD) {
    uitest::sendBounded(control(dialog, cmbVMState), CB_SETCURSEL, 2);
    EXPECT_EQ(boxText(dialog, cmbVMState), L"suspended");
    uitest::click(control(dialog, btOK));
  });
  EXPECT_EQ(parameterOf(plugin.Get()), L"#VSTP=VMWARE#USR=#PWD=#VMN=#VMS=suspended#");
}

// ---- keyboard

TEST_F(SettingsDialog, TabWalksTheFocusOrderAndEscapeOrEnterInABoxDoNothing) {
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  putText(plugin.Get(), L"qm_parameter", L"#USR=keep#");
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD thread) {
    ASSERT_TRUE(waitForFocus(dialog, thread, btOK));
    // Keys are handled in order: once the Tab after them has moved the focus,
    // Escape and Enter have been handled too, and the dialog must still be
    // there.
    uitest::pressKey(uitest::focusOf(thread), VK_ESCAPE);
    uitest::pressKey(uitest::focusOf(thread), VK_TAB);
    ASSERT_TRUE(waitForFocus(dialog, thread, txtUsername));
    EXPECT_TRUE(IsWindowVisible(dialog)) << "Escape closed the dialog";
    uitest::pressKey(uitest::focusOf(thread), VK_RETURN);
    uitest::pressKey(uitest::focusOf(thread), VK_ESCAPE);
    for (int next : {txtPassword, txtVMName, cmdListVMS, cmbVMState, cmbServerType, btOK}) {
      uitest::pressKey(uitest::focusOf(thread), VK_TAB);
      EXPECT_TRUE(waitForFocus(dialog, thread, next)) << "Tab should reach " << next;
    }
    EXPECT_TRUE(IsWindowVisible(dialog)) << "Enter in a text box closed the dialog";
    closeFromFrame(dialog);
  });
  EXPECT_EQ(parameterOf(plugin.Get()), L"#USR=keep#");
}

// ---- lifecycle

TEST_F(SettingsDialog, ASecondShowingStartsFresh) {
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD) {
    uitest::setTextOf(dialog, L"changed");
    const HWND states = control(dialog, cmbVMState);
    uitest::sendBounded(states, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"extra"));
    uitest::setTextOf(control(dialog, txtUsername), L"typed");
    uitest::setTextOf(states, L"typed state");
    PostMessageW(dialog, WM_CLOSE, 0, 0);
  });
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD) {
    EXPECT_EQ(uitest::textOf(dialog), kTitle);
    EXPECT_EQ(uitest::comboItems(control(dialog, cmbVMState)), kStates);
    expectBoxes(dialog, {L"", L"", L"", L"on"});
    closeFromFrame(dialog);
  });
  EXPECT_EQ(parameterType(plugin.Get()), VT_EMPTY);
}

TEST_F(SettingsDialog, ClosingWithoutOkKeepsTheParameterEvenAfterAnotherObjectsOk) {
  ComPtr<IDispatch> first = newPlugin();
  ComPtr<IDispatch> second = newPlugin();
  ASSERT_TRUE(first && second);
  putText(second.Get(), L"qm_parameter", L"#USR=b#");
  showAndDrive(first.Get(), [&](HWND dialog, DWORD) {
    uitest::setTextOf(control(dialog, txtUsername), L"first");
    uitest::click(control(dialog, btOK));
  });
  EXPECT_EQ(parameterOf(first.Get()), L"#VSTP=VMWARE#USR=first#PWD=#VMN=#VMS=on#");
  showAndDrive(second.Get(), [&](HWND dialog, DWORD) {
    uitest::setTextOf(control(dialog, txtUsername), L"changed");
    PostMessageW(dialog, WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(parameterOf(second.Get()), L"#USR=b#");
}

TEST_F(SettingsDialog, MalformedPasswordFailsWithErrorFiveWithoutShowing) {
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  const std::wstring malformed = L"#USR=bob#PWD==QUJD#";
  putText(plugin.Get(), L"qm_parameter", malformed);

  CallResult call;
  HWND shownMeanwhile = nullptr;
  uitest::runShowing(
      [&] { call = showGUI(plugin.Get()); },
      [&](uitest::Showing &showing) { shownMeanwhile = showing.waitForWindow(kFrmmainClassName); });
  EXPECT_EQ(call.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(call.scode, kInvalidProcedureCall);
  EXPECT_EQ(call.description, L"Invalid procedure call or argument");
  EXPECT_FALSE(shownMeanwhile) << "the dialog showed";
  EXPECT_EQ(parameterOf(plugin.Get()), malformed);

  // Through the dual interface the error comes back as the HRESULT with IErrorInfo.
  ComPtr<_vmwarecom> dual;
  ASSERT_EQ(plugin.As(&dual), S_OK);
  EXPECT_EQ(dual->qm_showGUI(), kInvalidProcedureCall);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
  brennow::win::Bstr description;
  ASSERT_EQ(info->GetDescription(description.out()), S_OK);
  EXPECT_EQ(description.text(), L"Invalid procedure call or argument");

  // The dialog stays loaded and hidden; the next showing uses that same window.
  const auto hidden =
      uitest::processWindows({kFrmmainClassName, GetCurrentThreadId(), false, nullptr});
  ASSERT_EQ(hidden.size(), 1u);
  EXPECT_FALSE(IsWindowVisible(hidden.front()));
  putText(plugin.Get(), L"qm_parameter", L"#USR=bob#");
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD) {
    EXPECT_EQ(dialog, hidden.front()) << "the dialog was loaded anew";
    EXPECT_EQ(boxText(dialog, txtUsername), L"bob");
    closeFromFrame(dialog);
  });
}

TEST_F(SettingsDialog, TheHostsWindowsAreDisabledWhileShownAndEnabledAfter) {
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  HostWindow enabledHost(true);
  HostWindow disabledHost(false);
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD) {
    EXPECT_FALSE(IsWindowEnabled(enabledHost.get()));
    EXPECT_FALSE(IsWindowEnabled(disabledHost.get()));
    EXPECT_TRUE(IsWindowEnabled(dialog));
    closeFromFrame(dialog);
  });
  EXPECT_TRUE(IsWindowEnabled(enabledHost.get()));
  EXPECT_FALSE(IsWindowEnabled(disabledHost.get())) << "a window disabled before was enabled";
}

TEST_F(SettingsDialog, TwoObjectsHaveIndependentDialogs) {
  ComPtr<IDispatch> first = newPlugin();
  ComPtr<IDispatch> second = newPlugin();
  ASSERT_TRUE(first && second);
  putText(first.Get(), L"qm_parameter", L"#PWD==QUJD#");
  EXPECT_EQ(showGUI(first.Get()).scode, kInvalidProcedureCall);
  const auto loaded =
      uitest::processWindows({kFrmmainClassName, GetCurrentThreadId(), false, nullptr});
  ASSERT_EQ(loaded.size(), 1u);
  const HWND firstDialog = loaded.front();

  putText(second.Get(), L"qm_parameter", L"#USR=bee#");
  showAndDrive(second.Get(), [&](HWND dialog, DWORD) {
    EXPECT_NE(dialog, firstDialog);
    EXPECT_EQ(boxText(dialog, txtUsername), L"bee");
    EXPECT_TRUE(IsWindow(firstDialog));
    EXPECT_FALSE(IsWindowVisible(firstDialog));
    closeFromFrame(dialog);
  });

  putText(first.Get(), L"qm_parameter", L"#USR=ay#");
  showAndDrive(first.Get(), [&](HWND dialog, DWORD) {
    EXPECT_EQ(dialog, firstDialog);
    EXPECT_EQ(boxText(dialog, txtUsername), L"ay");
    uitest::click(control(dialog, btOK));
  });
  EXPECT_EQ(parameterOf(first.Get()), L"#VSTP=VMWARE#USR=ay#PWD=#VMN=#VMS=#");
  EXPECT_EQ(parameterOf(second.Get()), L"#USR=bee#");
}

// ---- two hosts at once

// How the child process that shows the dialogs on two threads at once ends.
enum TwoHostsExit : UINT {
  kAllRoundsPassed = 0,
  kWrongOutcome = 71,
  kCrashed = 72,
  kHung = 73,
};

// Long enough for a round on a busy machine, short enough to come before the driver's
// own waits give up.
constexpr DWORD kRoundLimitMs = 20000;
constexpr DWORD kBuildingMs = 100;

int soakScale() {
  const char *scaleText = std::getenv("BRENNOW_SOAK_SCALE");
  const int scale = scaleText ? std::atoi(scaleText) : 0;
  return scale > 0 ? scale : 1;
}

// The child reports on stderr with a fixed buffer and no heap: a crash may have left the
// heap broken. It ends without running anyone's clean-up.
[[noreturn]] void endChild(TwoHostsExit code, const char *why) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), why, static_cast<DWORD>(std::strlen(why)), &written,
            nullptr);
  TerminateProcess(GetCurrentProcess(), code);
  for (;;)
    Sleep(INFINITE);
}

std::atomic<int> roundsDone{0};

LONG WINAPI reportCrash(EXCEPTION_POINTERS *exception) {
  char line[160];
  std::snprintf(line, sizeof line, "crashed in round %d: exception %08lX at %p\n",
                roundsDone.load() + 1, exception->ExceptionRecord->ExceptionCode,
                exception->ExceptionRecord->ExceptionAddress);
  endChild(kCrashed, line);
}

// Ends the child with kHung when no round has ended for kRoundLimitMs.
void startWatchdog() {
  std::thread([] {
    int seen = roundsDone;
    ULONGLONG lastProgress = GetTickCount64();
    for (;;) {
      Sleep(250);
      if (roundsDone != seen) {
        seen = roundsDone;
        lastProgress = GetTickCount64();
      } else if (GetTickCount64() - lastProgress > kRoundLimitMs) {
        char line[96];
        std::snprintf(line, sizeof line, "hung in round %d\n", seen + 1);
        endChild(kHung, line);
      }
    }
  }).detach();
}

struct HostRun {
  std::wstring user;
  std::atomic<DWORD> threadId{0};
  HRESULT hr = E_FAIL;
  std::wstring written;
};

std::wstring parameterText(IDispatch *plugin) {
  Variant value;
  wintest::invoke(plugin, L"qm_parameter", DISPATCH_PROPERTYGET, {}, value.get());
  return wintest::text(*value.get());
}

struct EventCloser {
  void operator()(HANDLE event) const noexcept { CloseHandle(event); }
};

// The start of both showings: one event wakes both hosts, and each then spins until the
// other is awake too (a little while at most), so that both are running when they build
// their dialogs.
struct CommonStart {
  std::unique_ptr<void, EventCloser> event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<int> awake{0};

  void wait() {
    WaitForSingleObject(event.get(), INFINITE);
    ++awake;
    const ULONGLONG giveUp = GetTickCount64() + 100;
    while (awake < 2 && GetTickCount64() < giveUp)
      YieldProcessor();
  }
};

// A host thread: its own apartment and object, a parameter naming `run.user`; at the
// common start it shows the dialog, and keeps what came back.
void hostShowing(HostRun &run, CommonStart &start) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    ComPtr<IDispatch> plugin = wintest::createPlugin();
    Variant parameter;
    *parameter.get() = wintest::textVariant(L"#USR=" + run.user + L"#");
    if (plugin && wintest::putProperty(plugin.Get(), L"qm_parameter", *parameter.get()) == S_OK) {
      run.threadId = GetCurrentThreadId();
      start.wait();
      run.hr = showGUI(plugin.Get()).hr;
      run.written = parameterText(plugin.Get());
    }
  }
  CoUninitialize();
}

HWND dialogOf(const HostRun &run) {
  return uitest::waitForWindow({kFrmmainClassName, run.threadId, true, nullptr});
}

// One round: both hosts wait for one event, then show at once; the driver checks each
// dialog's user name and clicks both OKs. What went wrong, or nothing.
std::string twoHostsRound(int round) {
  CommonStart start;
  HostRun runs[2];
  runs[0].user = L"one" + std::to_wstring(round);
  runs[1].user = L"two" + std::to_wstring(round);
  std::string problems;
  {
    uitest::PumpingThread first([&] { hostShowing(runs[0], start); });
    uitest::PumpingThread second([&] { hostShowing(runs[1], start); });
    if (!uitest::waitUntil([&] { return runs[0].threadId && runs[1].threadId; }))
      problems += "a host could not create and set up its object\n";
    SetEvent(start.event.get());
    // The driver keeps out of the window system's way while both dialogs are built.
    Sleep(kBuildingMs);
    const HWND dialogs[2] = {dialogOf(runs[0]), dialogOf(runs[1])};
    for (int i = 0; i < 2; ++i) {
      if (!dialogs[i]) {
        problems += "host " + std::to_string(i + 1) + " showed no dialog\n";
        continue;
      }
      const std::wstring shown = boxText(dialogs[i], txtUsername);
      if (shown != runs[i].user)
        problems +=
            "host " + std::to_string(i + 1) + " shows user " + wintest::toUtf8(shown) + "\n";
      uitest::click(control(dialogs[i], btOK));
    }
    if (!first.join() || !second.join())
      problems += "a host did not return from its showing\n";
  }
  for (const HostRun &run : runs) {
    const std::wstring expected = L"#VSTP=VMWARE#USR=" + run.user + L"#PWD=#VMN=#VMS=#";
    if (run.hr != S_OK || run.written != expected)
      problems +=
          "host " + wintest::toUtf8(run.user) + " got " + wintest::toUtf8(run.written) + "\n";
  }
  return problems;
}

// Runs in the child process: never returns.
[[noreturn]] void showOnTwoThreadsAtOnce(int rounds) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(reportCrash);
  startWatchdog();
  for (int round = 1; round <= rounds; ++round) {
    const std::string problems = twoHostsRound(round);
    if (!problems.empty())
      endChild(kWrongOutcome, ("round " + std::to_string(round) + ": " + problems).c_str());
    ++roundsDone;
  }
  endChild(kAllRoundsPassed, "");
}

// Each thread has its own objects, dialogs and latest OK, also when both build their
// dialogs at the same moment. The showings run in a child process, so that a crash or
// a hang there fails this test alone.
TEST_F(SettingsDialog, EachThreadShowsItsOwnDialogAndGetsItsOwnString) {
  EXPECT_EXIT(showOnTwoThreadsAtOnce(40 * soakScale()), ::testing::ExitedWithCode(kAllRoundsPassed),
              "")
      << "exit code " << kWrongOutcome << ": a wrong outcome, " << kCrashed << ": a crash, "
      << kHung << ": a hang";
}

TEST_F(SettingsDialog, AQuitMessageEndsTheShowingAndIsPostedAgain) {
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  putText(plugin.Get(), L"qm_parameter", L"#USR=quit#");
  const CallResult call = showAndDrive(plugin.Get(), [&](HWND dialog, DWORD thread) {
    uitest::setTextOf(control(dialog, txtUsername), L"changed");
    PostThreadMessageW(thread, WM_QUIT, 42, 0);
  });
  MSG message{};
  const bool quitWaiting = PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
  EXPECT_EQ(call.hr, S_OK);
  EXPECT_TRUE(quitWaiting);
  EXPECT_EQ(message.wParam, 42u);
  EXPECT_TRUE(
      uitest::processWindows({kFrmmainClassName, GetCurrentThreadId(), true, nullptr}).empty());
  EXPECT_EQ(parameterOf(plugin.Get()), L"#USR=quit#");
}

// ---- OK refuses what the parameter string cannot carry

struct RefusalCase {
  const char *name;
  int box;
  const wchar_t *typed;
  const wchar_t *message;
};

class Refusal : public SettingsDialog, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, OkShowsWhyAndKeepsTheDialogOpen) {
  const RefusalCase &c = GetParam();
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  putText(plugin.Get(), L"qm_parameter", L"#USR=orig#");
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD) {
    uitest::setTextOf(control(dialog, c.box), c.typed);
    uitest::click(control(dialog, btOK));
    const HWND box = waitForMessageBox(dialog);
    ASSERT_TRUE(box) << "no message box";
    EXPECT_EQ(uitest::textOf(box), L"Corvalen");
    EXPECT_TRUE(uitest::isAbove(box, dialog)) << "the message box is hidden by the dialog";
    EXPECT_EQ(uitest::textOf(GetDlgItem(box, 0xFFFF)), c.message);
    if (std::string(c.name) == "UserName") {
      EXPECT_TRUE(uitest::saveScreenshot(L"settings_refusal"));
    }
    uitest::click(GetDlgItem(box, IDOK));
    EXPECT_TRUE(waitUntilGone(box));
    EXPECT_TRUE(IsWindowVisible(dialog)) << "the dialog closed";
    EXPECT_EQ(boxText(dialog, c.box), c.typed);
    closeFromFrame(dialog);
  });
  EXPECT_EQ(parameterOf(plugin.Get()), L"#USR=orig#");
}

INSTANTIATE_TEST_SUITE_P(
    Fields, Refusal,
    ::testing::Values(
        RefusalCase{"UserName", txtUsername, L"al#ice", L"The user name must not contain \"#\"."},
        RefusalCase{"Password", txtPassword, L"smile\u263A",
                    L"The password must consist of characters of the system's ANSI code page."},
        RefusalCase{"MachineName", txtVMName, L"vm#1",
                    L"The virtual machine name must not contain \"#\"."},
        RefusalCase{"State", cmbVMState, L"on#", L"The state must not contain \"#\"."}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- help

TEST_F(SettingsDialog, F1OpensTheHelpViewerFromAnyControl) {
  ComPtr<IDispatch> plugin = newPlugin();
  ASSERT_TRUE(plugin);
  showAndDrive(plugin.Get(), [&](HWND dialog, DWORD thread) {
    for (int focused : {btOK, txtUsername, cmbVMState}) {
      SendMessageTimeoutW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control(dialog, focused)),
                          TRUE, SMTO_ABORTIFHUNG, 5000, nullptr);
      ASSERT_TRUE(waitForFocus(dialog, thread, focused));
      uitest::pressKey(uitest::focusOf(thread), VK_F1);
      const HWND viewer = uitest::waitForWindow({L"HH Parent", 0, true, nullptr});
      ASSERT_TRUE(viewer) << "F1 on " << focused << " opened no help viewer";
      EXPECT_TRUE(uitest::isAbove(viewer, dialog)) << "the help is hidden by the dialog";
      if (focused == btOK) {
        EXPECT_TRUE(uitest::saveScreenshot(L"settings_help"));
      }
      PostMessageW(viewer, WM_CLOSE, 0, 0);
      EXPECT_TRUE(uitest::waitUntil([&] { return !IsWindow(viewer); }));
    }
    closeFromFrame(dialog);
  });
}

// ---- the units behind the dialog

// A picked name is its thread's alone: a host's threads pick apart from each other (that
// each has its own picker the picker suite shows).
TEST(PickedVMName, BelongsToTheThreadThatPicked) {
  using brennow::dialogs::pickedVMName;
  pickedVMName() = L"picked here";
  std::wstring seenThere = L"not read";
  uitest::PumpingThread there([&] {
    seenThere = pickedVMName();
    pickedVMName() = L"picked there";
  });
  EXPECT_TRUE(there.join());
  EXPECT_EQ(seenThere, L"");
  EXPECT_EQ(pickedVMName(), L"picked here");
  pickedVMName().clear();
}

TEST(SetTopmost, ReturnsSetWindowPosResultOnlyWhenRaising) {
  const HWND window = CreateWindowExW(0, L"STATIC", L"topmost", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                      nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_TRUE(window);
  EXPECT_NE(brennow::dialogs::setTopmost(window, true), 0);
  EXPECT_TRUE(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_EQ(brennow::dialogs::setTopmost(window, false), 0);
  EXPECT_FALSE(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOPMOST);
  DestroyWindow(window);
  EXPECT_EQ(brennow::dialogs::setTopmost(window, true), 0) << "SetWindowPos fails on a dead window";
}

} // namespace
