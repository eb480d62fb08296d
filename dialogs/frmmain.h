#pragma once
// The settings dialog. An instance is created unloaded with its plug-in object; the
// first access to a control or to the window handle creates the window and runs the
// load step, OK or closing from the frame unloads it again.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace brennow::dialogs {

class frmmain {
public:
  frmmain();
  ~frmmain();
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

  // What the list button works with: the connection texts it reads, the status line
  // it shows its progress in (repainted at once) and the machine box it fills.
  std::wstring txtHostnameText();
  std::wstring txtUsernameText();
  std::wstring txtPasswordText();
  void setLblparameterCaption(std::wstring_view caption);
  void setTxtVMNameText(std::wstring_view text);

  std::unique_ptr<Window> window_;
};

} // namespace brennow::dialogs
