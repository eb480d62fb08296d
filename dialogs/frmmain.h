#pragma once
// The settings dialog. An instance is created unloaded with its plug-in object; the
// first access to a control or to the window handle creates the window and runs the
// load step, OK or closing from the frame unloads it again.
#include <memory>
#include <optional>
#include <string>

#include "dialogs/logic/checkForm.h"
#include "dialogs/logic/listing.h"
#include "vmserver/ServerChoice.h"

namespace brennow::dialogs {

// The list button's listing works the dialog through ListingUi.
class frmmain final : private ListingUi {
public:
  frmmain();
  ~frmmain() override;
  frmmain(const frmmain &) = delete;
  frmmain &operator=(const frmmain &) = delete;

  bool loaded() const noexcept;

  // Fills the dialog from the host's values (texts already converted by the caller),
  // raises it above all other windows and shows it modally on the calling thread.
  // Returns the parameter string built by OK, or nothing when the showing ended
  // without OK. A malformed "PWD" value throws AutomationError (run-time error 5)
  // before anything is shown.
  std::optional<std::wstring> showSettings(const std::wstring &timeoutText,
                                           const std::wstring &hostnameText,
                                           const std::wstring &parameterText);

private:
  struct Window;

  // The loaded dialog: the first access creates the window and runs Form_Load.
  Window &form();
  void Form_Load();
  void btOK_Click();
  void cmdListVMS_Click();
  void onCommand(int controlId, int notification);

  // ListingUi: the connection boxes, the status line, the machine box, the dialog's
  // message boxes and the thread's picker.
  void setStatus(const std::wstring &text) override;
  std::wstring hostname() override;
  std::wstring username() override;
  std::wstring password() override;
  void showMessage(const std::wstring &text, MessageIcon icon) override;
  void clearPickerList() override;
  void appendToPickerList(const PickerLine &line) override;
  void setPickerCaption(const std::wstring &caption) override;
  std::optional<std::wstring> showPicker() override;
  void setVmName(const std::wstring &name) override;
  bool askYesNo(const std::wstring &text) override;
  std::wstring trustedThumbprint() override;
  void trustThumbprint(const std::wstring &thumbprint) override;

  vmserver::ServerKind chosenServerKind();
  void chooseServerKind(vmserver::ServerKind kind);

  // The check rows: the check list filled from what was read, and the rows of the server
  // type and check chosen shown with their boxes' texts, those of the rows shown so far kept.
  void fillCheckList();
  void showChosenRows();
  void keepShownTexts();

  std::unique_ptr<Window> window_;
};

} // namespace brennow::dialogs
