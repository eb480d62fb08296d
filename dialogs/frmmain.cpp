#include "dialogs/frmmain.h"

#include <windows.h>

#include <imm.h>

#include "common/text.h"
#include "dialogs/Form.h"
#include "dialogs/frmmainControls.h"
#include "dialogs/frmvmList.h"
#include "dialogs/help.h"
#include "dialogs/logic/inventoryLines.h"
#include "dialogs/logic/settingsRules.h"
#include "dialogs/moduleVersion.h"
#include "dialogs/resource.h"
#include "dialogs/topWindow.h"
#include "params/AnsiCodePage.h"
#include "params/Generic.h"
#include "params/Keys.h"
#include "params/base64.h"
#include "vmserver/makeAutomation.h"

namespace brennow::dialogs {
namespace {

using namespace frmmainControl;

constexpr DWORD kHelpContext = 10;
constexpr const wchar_t *kStates[] = {L"on", L"off", L"suspended", L"stuck"};
constexpr std::wstring_view kAlarmLevels[] = {kAlarmRed, kAlarmYellow};
// The server types in the order of vmserver::ServerKind.
constexpr const wchar_t *kServerTypes[] = {L"VMware automation component",
                                           L"vSphere (ESXi, vCenter)"};

constexpr DWORD kLabel = SS_LEFT;
constexpr DWORD kTextBox = WS_TABSTOP | ES_AUTOHSCROLL;
constexpr DWORD kButton = WS_TABSTOP | BS_PUSHBUTTON;

// The controls in tab order, measured in twips. Those shown while vSphere is chosen take
// places that are free otherwise, so that no control moves and the dialog keeps its size:
// the check list on the free right part of the password row, at the server type list's
// left edge and width and centred on the password box, above the machine row it governs;
// the threshold box, its unit and the alarm status list in the state box's place.
const FormDesign &design() {
  static const FormDesign formDesign{
      8085,
      3255,
      {
          {btOK, L"BUTTON", L"&OK", 7080, 480, 735, 375, kButton, 0},
          {txtTimeout, L"EDIT", L"", 1560, 2400, 1095, 285, kTextBox | WS_DISABLED,
           WS_EX_CLIENTEDGE},
          {Label4, L"STATIC", L"Timeout:", 120, 2460, 1215, 255, SS_RIGHT, 0},
          {Label5, L"STATIC", L"seconds", 2760, 2460, 1215, 255, kLabel, 0},
          {lblparameter, L"STATIC", L"", 240, 2880, 7935, 255, kLabel, 0},
          {Label1, L"STATIC", L"Hostname:", 240, 240, 855, 255, kLabel, 0},
          {txtHostname, L"EDIT", L"", 1320, 180, 3015, 285, kTextBox | WS_DISABLED,
           WS_EX_CLIENTEDGE},
          {Label2, L"STATIC", L"Username:", 240, 660, 975, 255, kLabel, 0},
          {Label3, L"STATIC", L"Password:", 240, 1020, 975, 255, kLabel, 0},
          {txtUsername, L"EDIT", L"", 1320, 600, 3015, 285, kTextBox, WS_EX_CLIENTEDGE},
          {txtPassword, L"EDIT", L"", 1320, 960, 3015, 285, kTextBox | ES_PASSWORD,
           WS_EX_CLIENTEDGE},
          {Label9, L"STATIC", L"Check:", 4440, 1020, 660, 255, SS_RIGHT, 0},
          {cmbCheck, L"COMBOBOX", L"", 5130, 945, 2895, 315,
           WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0},
          {Label6, L"STATIC", L"Virtual machine:", 240, 1560, 1215, 255, kLabel, 0},
          {txtVMName, L"EDIT", L"", 1440, 1500, 5415, 285, kTextBox, WS_EX_CLIENTEDGE},
          {cmdListVMS, L"BUTTON", L"...", 6960, 1560, 495, 255, kButton, 0},
          {Label7, L"STATIC", kStateLabel, 1440, 1920, 735, 255, kLabel, 0},
          {cmbVMState, L"COMBOBOX", L"", 2280, 1860, 1335, 315,
           WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL, 0},
          {txtThreshold, L"EDIT", L"", 2280, 1875, 735, 285, kTextBox, WS_EX_CLIENTEDGE},
          {lblThresholdUnit, L"STATIC", L"", 3120, 1920, 1215, 255, kLabel, 0},
          {cmbAlarmStatus, L"COMBOBOX", L"", 2280, 1860, 1335, 315,
           WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL, 0},
          // On the free right part of the timeout row, centred on the timeout box, so
          // that no control moves and the dialog keeps its size.
          {Label8, L"STATIC", L"Server type:", 3990, 2460, 1110, 255, SS_RIGHT, 0},
          {cmbServerType, L"COMBOBOX", L"", 5130, 2385, 2895, 315,
           WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0},
      }};
  return formDesign;
}

const FormClass &frmmainClass() {
  static const FormClass windowClass(kFrmmainClassName);
  return windowClass;
}

// The password box shows "*" for every character and takes no input-method editor.
void preparePasswordBox(HWND box) {
  SendMessageW(box, EM_SETPASSWORDCHAR, L'*', 0);
  ImmAssociateContext(box, nullptr);
}

void addComboItem(HWND combo, std::wstring_view item) {
  SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(std::wstring(item).c_str()));
}

void showControl(const Form &dialog, int id, bool shown) {
  ShowWindow(dialog.control(id), shown ? SW_SHOWNA : SW_HIDE);
}

// The box that edits the comparison's key, or 0 when the rows have none.
int comparisonBox(Comparison comparison) {
  switch (comparison) {
  case Comparison::State:
    return cmbVMState;
  case Comparison::Threshold:
    return txtThreshold;
  case Comparison::AlarmLevel:
    return cmbAlarmStatus;
  case Comparison::None:
    break;
  }
  return 0;
}

} // namespace

struct frmmain::Window {
  explicit Window(FormEvents events) : form(frmmainClass(), design(), std::move(events)) {}
  Form form;
  bool accepted = false;
  // "THUMB" as read, or as trusted since at the list button's question.
  std::wstring thumbprint;
  // The check's fields by key, and the rows the boxes show now.
  CheckForm checks;
  CheckRows shownRows = checks.rows(vmserver::ServerKind::Automation);
};

frmmain::frmmain() = default;
frmmain::~frmmain() = default;

bool frmmain::loaded() const noexcept { return window_ && window_->form.alive(); }

frmmain::Window &frmmain::form() {
  if (!loaded()) {
    window_.reset();
    window_ = std::make_unique<Window>(
        FormEvents{[this](int controlId, int notification) { onCommand(controlId, notification); },
                   [this] { showHelpContext(window_->form.hwnd(), kHelpContext); }, nullptr});
    Form_Load();
  }
  return *window_;
}

void frmmain::Form_Load() {
  Form &dialog = window_->form;
  const ModuleVersion version = moduleVersion();
  dialog.setCaption(settingsTitle(version.major, version.minor, version.revision));
  const HWND states = dialog.control(cmbVMState);
  SendMessageW(states, CB_RESETCONTENT, 0, 0);
  for (const wchar_t *state : kStates)
    SendMessageW(states, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(state));
  SendMessageW(states, CB_SETCURSEL, 0, 0);
  const HWND serverTypes = dialog.control(cmbServerType);
  for (const wchar_t *serverType : kServerTypes)
    SendMessageW(serverTypes, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(serverType));
  for (std::wstring_view level : kAlarmLevels)
    addComboItem(dialog.control(cmbAlarmStatus), level);
  chooseServerKind(vmserver::ServerKind::Automation);
  fillCheckList();
  showChosenRows();
  SetWindowContextHelpId(dialog.hwnd(), kHelpContext);
  dialog.setIcon(IDI_FRMMAIN);
  preparePasswordBox(dialog.control(txtPassword));
}

std::optional<std::wstring> frmmain::showSettings(const std::wstring &timeoutText,
                                                  const std::wstring &hostnameText,
                                                  const std::wstring &parameterText) {
  form().form.setText(txtTimeout, trimSpaces(timeoutText));
  form().form.setText(txtHostname, trimSpaces(hostnameText));
  if (!parameterText.empty()) {
    const std::wstring username = getParam(parameterText, keys::User);
    const std::wstring password =
        base64Decode(getParam(parameterText, keys::Password), systemAnsiCodePage());
    const std::wstring vmName = getParam(parameterText, keys::Machine);
    const std::wstring vmState = getParam(parameterText, keys::State);
    Form &dialog = form().form;
    dialog.setText(txtUsername, username);
    dialog.setText(txtPassword, password);
    dialog.setText(txtVMName, vmName);
    dialog.setText(cmbVMState, vmState);
    chooseServerKind(vmserver::serverKindOf(parameterText));
    form().thumbprint = getParam(parameterText, keys::Thumbprint);
  }
  // The boxes now hold the machine and its state: the check's fields start from them.
  Window &window = form();
  window.checks =
      CheckForm(parameterText, window.form.text(txtVMName), window.form.text(cmbVMState));
  window.shownRows = window.checks.rows(vmserver::ServerKind::Automation);
  fillCheckList();
  showChosenRows();
  setTopmost(form().form.hwnd(), true);

  window_->accepted = false;
  window_->form.showModal(btOK);
  const bool accepted = window_->accepted;
  window_.reset();
  if (!accepted)
    return std::nullopt;
  return newParameter();
}

void frmmain::onCommand(int controlId, int notification) {
  if (controlId == cmbServerType && notification == CBN_SELCHANGE) {
    showChosenRows();
  } else if (controlId == cmbCheck && notification == CBN_SELCHANGE) {
    const auto chosen = SendMessageW(form().form.control(cmbCheck), CB_GETCURSEL, 0, 0);
    if (chosen >= 0)
      window_->checks.choose(static_cast<std::size_t>(chosen));
    showChosenRows();
  } else if (notification == BN_CLICKED) {
    if (controlId == btOK)
      btOK_Click();
    else if (controlId == cmdListVMS)
      cmdListVMS_Click();
  }
}

void frmmain::btOK_Click() {
  Form &dialog = form().form;
  keepShownTexts();
  const CheckForm &checks = window_->checks;
  const vmserver::ServerKind kind = chosenServerKind();
  const bool vsphere = kind == vmserver::ServerKind::VSphere;
  CheckOutput check = vsphere
                          ? checks.output()
                          : CheckOutput{checks.text(keys::Machine), checks.text(keys::State), {}};
  const SettingsInput input{dialog.text(txtUsername),
                            dialog.text(txtPassword),
                            std::move(check.vmName),
                            std::move(check.vmState),
                            kind,
                            window_->thumbprint,
                            std::move(check.checkFields)};
  std::optional<std::wstring> refusal = refusalMessage(input, systemAnsiCodePage());
  if (!refusal && vsphere)
    refusal = checks.refusal();
  if (refusal) {
    messageBox(dialog.hwnd(), *refusal, MB_ICONSTOP | MB_OK);
    return;
  }
  newParameter() = settingsParameterString(input, systemAnsiCodePage());
  window_->accepted = true;
  dialog.unload();
}

void frmmain::cmdListVMS_Click() {
  const vmserver::ServerKind kind = chosenServerKind();
  const std::wstring timeoutText = form().form.text(txtTimeout);
  const ListedObjects listed = window_->shownRows.listed;
  if (listed == ListedObjects::Machines) {
    listVirtualMachines(*this, [&](const std::wstring &thumbprint) {
      return vmserver::makeAutomation({kind, thumbprint, timeoutText});
    });
  } else {
    const vmserver::vsphere::Platform platform = vmserver::windowsVSpherePlatform();
    listObjects(*this, listed, [&](const std::wstring &thumbprint) {
      return vsphereObjectListing(listed, {vmserver::ServerKind::VSphere, thumbprint, timeoutText},
                                  platform);
    });
  }
  // A listing that ended before the showing leaves the picker loaded and hidden. It
  // goes now: the next listing fills it afresh anyway, and no window of this library
  // may outlive the listing while the host is free to unload the library.
  frmvmList::shared().unload();
}

// The label is painted at once; the zero wait then lets the window system put what was
// painted on the screen, which Wine holds back until the thread next waits, before the
// thread blocks in the server's calls.
void frmmain::setStatus(const std::wstring &text) {
  Form &dialog = form().form;
  dialog.setText(lblparameter, text);
  UpdateWindow(dialog.control(lblparameter));
  MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
}

std::wstring frmmain::hostname() { return form().form.text(txtHostname); }
std::wstring frmmain::username() { return form().form.text(txtUsername); }
std::wstring frmmain::password() { return form().form.text(txtPassword); }

void frmmain::showMessage(const std::wstring &text, MessageIcon icon) {
  messageBox(form().form.hwnd(), text, icon == MessageIcon::Stop ? MB_ICONSTOP | MB_OK : MB_OK);
}

void frmmain::clearPickerList() { frmvmList::shared().clearList(); }
void frmmain::appendToPickerList(const PickerLine &line) {
  frmvmList::shared().addItem(line.text, line.name);
}
void frmmain::setPickerCaption(const std::wstring &caption) {
  frmvmList::shared().setCaption(caption);
}
std::optional<std::wstring> frmmain::showPicker() { return frmvmList::shared().showModal(); }
void frmmain::setVmName(const std::wstring &name) { form().form.setText(txtVMName, name); }

// No is the default: trusting a certificate must be a deliberate choice, not an Enter.
bool frmmain::askYesNo(const std::wstring &text) {
  return messageBox(form().form.hwnd(), text, MB_ICONQUESTION | MB_YESNO | MB_DEFBUTTON2) == IDYES;
}

std::wstring frmmain::trustedThumbprint() { return form().thumbprint; }
void frmmain::trustThumbprint(const std::wstring &thumbprint) { form().thumbprint = thumbprint; }

vmserver::ServerKind frmmain::chosenServerKind() {
  const auto chosen = SendMessageW(form().form.control(cmbServerType), CB_GETCURSEL, 0, 0);
  return chosen == static_cast<LRESULT>(vmserver::ServerKind::VSphere)
             ? vmserver::ServerKind::VSphere
             : vmserver::ServerKind::Automation;
}

void frmmain::chooseServerKind(vmserver::ServerKind kind) {
  SendMessageW(form().form.control(cmbServerType), CB_SETCURSEL, static_cast<WPARAM>(kind), 0);
}

void frmmain::fillCheckList() {
  const HWND list = window_->form.control(cmbCheck);
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  for (const std::wstring &entry : window_->checks.entries())
    addComboItem(list, entry);
  SendMessageW(list, CB_SETCURSEL, window_->checks.chosen(), 0);
}

void frmmain::keepShownTexts() {
  const Form &dialog = window_->form;
  const CheckRows &shown = window_->shownRows;
  if (!shown.objectKey.empty())
    window_->checks.setText(shown.objectKey, dialog.text(txtVMName));
  if (const int box = comparisonBox(shown.comparison))
    window_->checks.setText(shown.comparisonKey, dialog.text(box));
}

void frmmain::showChosenRows() {
  keepShownTexts();
  Form &dialog = window_->form;
  const vmserver::ServerKind kind = chosenServerKind();
  const CheckRows rows = window_->checks.rows(kind);
  for (int id : {Label9, cmbCheck})
    showControl(dialog, id, kind == vmserver::ServerKind::VSphere);
  const bool object = !rows.objectKey.empty();
  if (object) {
    dialog.setText(Label6, rows.objectLabel);
    dialog.setText(txtVMName, window_->checks.text(rows.objectKey));
  }
  for (int id : {Label6, txtVMName, cmdListVMS})
    showControl(dialog, id, object);
  const int box = comparisonBox(rows.comparison);
  dialog.setText(Label7, rows.before);
  dialog.setText(lblThresholdUnit, rows.after);
  if (box)
    dialog.setText(box, window_->checks.text(rows.comparisonKey));
  showControl(dialog, Label7, box != 0);
  for (int id : {cmbVMState, txtThreshold, cmbAlarmStatus})
    showControl(dialog, id, id == box);
  showControl(dialog, lblThresholdUnit, box == txtThreshold);
  window_->shownRows = rows;
}

} // namespace brennow::dialogs
