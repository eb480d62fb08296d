#pragma once
// The virtual-machine picker: a list of the machines registered on a server, from which
// the user picks one by double-click. One instance is shared by everything on a thread;
// it is created unloaded, loads (hidden) at the first touch of its list and is unloaded
// by a double-click or its close button, so every showing starts from a fresh window.
#include <memory>
#include <optional>
#include <string>

namespace brennow::dialogs {

inline constexpr wchar_t kFrmvmListClassName[] = L"brennow_frmvmList";

// Ids of the picker's controls, for the picker and for the programs that drive it.
namespace frmvmListControl {
enum : int {
  listVMS = 200,
  Label1,
};
} // namespace frmvmListControl

// The name picked by the latest double-click on this thread ("" when that double-click
// hit no item). The picker empties it before each showing.
std::wstring &pickedVMName();

class frmvmList {
public:
  // The thread's picker.
  static frmvmList &shared();

  frmvmList();
  ~frmvmList();
  frmvmList(const frmvmList &) = delete;
  frmvmList &operator=(const frmvmList &) = delete;

  bool loaded() const noexcept;

  // The list and the caption; each loads the picker, hidden, when it is not loaded. An
  // item shows `text`; a double-click on it picks `name`.
  void clearList();
  void addItem(const std::wstring &text, const std::wstring &name);
  void setCaption(const std::wstring &caption);

  // Shows the picker modally, above every window that is not topmost itself, and waits
  // until it is unloaded. Returns the name double-clicked, or nothing when the picker
  // was closed without a double-click.
  std::optional<std::wstring> showModal();

  // Discards the window and its contents; nothing happens when it is not loaded.
  void unload();

private:
  struct Window;

  Window &form();
  void Form_Load();
  void Form_Resize();
  void listVMS_Click();
  void listVMS_DblClick();
  void onCommand(int controlId, int notification);
  void onSize(bool minimized);

  std::unique_ptr<Window> window_;
};

} // namespace brennow::dialogs
