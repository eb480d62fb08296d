#pragma once
// A form as the dialogs use it: a top-level window of a private dialog class with a
// standard resizable frame, built hidden from a table of controls measured in twips,
// shown modally on the calling thread and unloaded by DestroyWindow. The dialog
// manager gives Tab, Enter on a focused button and access keys; the form ignores the
// IDOK and IDCANCEL commands it sends for Enter and Escape, so there is no default or
// cancel button.
#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brennow::dialogs {

// One control as designed: position and size in twips from the top left corner of
// the client area. Every control gets WS_CHILD | WS_VISIBLE besides `style`.
struct ControlDesign {
  int id;
  const wchar_t *windowClass;
  const wchar_t *text;
  int left;
  int top;
  int width;
  int height;
  DWORD style;
  DWORD exStyle;
};

// The design of a whole form: client size in twips and the controls in tab order.
struct FormDesign {
  int clientWidth;
  int clientHeight;
  std::vector<ControlDesign> controls;
};

// A window class registered with this module's instance, unregistered when the
// module unloads (function-local statics hold them).
class FormClass {
public:
  explicit FormClass(const wchar_t *name);
  ~FormClass();
  FormClass(const FormClass &) = delete;
  FormClass &operator=(const FormClass &) = delete;
  const wchar_t *name() const noexcept { return name_; }

private:
  const wchar_t *name_;
  ATOM atom_;
};

// What a form reports to its owner.
struct FormEvents {
  std::function<void(int controlId, int notification)> command;
  std::function<void()> help;
  // After the window has taken a new size.
  std::function<void()> resize;
};

// A message box of the dialogs, with the caption they all share. Owned by `owner`, so
// that it stands above that window even when the window is topmost.
int messageBox(HWND owner, const std::wstring &text, UINT style);

// The calling thread's last system error as an AutomationError with the system's text.
[[noreturn]] void throwLastError();

// Twips to pixels at the display's resolution (MulDiv(twips, dpi, 1440)).
int twipsToPixelsX(int twips);
int twipsToPixelsY(int twips);

class Form {
public:
  Form(const FormClass &windowClass, const FormDesign &design, FormEvents events);
  ~Form();
  Form(const Form &) = delete;
  Form &operator=(const Form &) = delete;

  HWND hwnd() const noexcept { return window_.get(); }
  bool alive() const noexcept { return window_ != nullptr; }
  HWND control(int id) const noexcept { return GetDlgItem(hwnd(), id); }

  std::wstring text(int id) const;
  void setText(int id, std::wstring_view text);
  void setCaption(std::wstring_view caption);

  // Gives the window its big and small icon from this module's resource `iconId`;
  // a missing icon leaves the system's default.
  void setIcon(int iconId);

  // Shows the form and runs its message loop until it is unloaded. Other enabled,
  // visible top-level windows of the thread are disabled meanwhile. A WM_QUIT ends
  // the showing and is posted again for the caller's own loop.
  void showModal(int focusId);

  // Closes the window: the disabled windows come back first so that one of them
  // takes the activation, then the window and its controls are destroyed.
  void unload();

private:
  struct WindowDestroyer {
    void operator()(HWND window) const noexcept { DestroyWindow(window); }
  };
  struct IconDeleter {
    void operator()(HICON icon) const noexcept { DestroyIcon(icon); }
  };
  static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
  void forget(HWND window) noexcept;
  void createControls(const FormDesign &design);
  bool isKeyForHelp(const MSG &message) const;
  void disableOtherWindows();
  void enableDisabledWindows() noexcept;

  FormEvents events_;
  std::unique_ptr<HICON__, IconDeleter> bigIcon_;
  std::unique_ptr<HICON__, IconDeleter> smallIcon_;
  std::vector<HWND> disabledWindows_;
  // Declared last: the window goes before the icons it shows.
  std::unique_ptr<HWND__, WindowDestroyer> window_;
};

} // namespace brennow::dialogs
