#pragma once
// Identity of the settings dialog's window: its class name and the ids of its
// controls, for the dialog itself and for the programs that drive it.
namespace brennow::dialogs {

inline constexpr wchar_t kFrmmainClassName[] = L"brennow_frmmain";

namespace frmmainControl {
enum : int {
  btOK = 100,
  txtTimeout,
  Label4,
  Label5,
  lblparameter,
  Label1,
  txtHostname,
  Label2,
  Label3,
  txtUsername,
  txtPassword,
  Label6,
  txtVMName,
  cmdListVMS,
  Label7,
  cmbVMState,
  Label8,
  cmbServerType,
  // Shown while vSphere is chosen.
  Label9,
  cmbCheck,
  txtThreshold,
  lblThresholdUnit,
  cmbAlarmStatus,
};
} // namespace frmmainControl

} // namespace brennow::dialogs
