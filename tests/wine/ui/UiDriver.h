#pragma once
// Driving the component's modal windows from a second thread, as a user would: the
// thread under test blocks in a modal showing while a driver thread finds the window
// (by class and this process), types, clicks, presses keys and reads back what the
// window shows. Every wait is bounded, so a broken dialog fails instead of hanging.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace uitest {

inline constexpr std::chrono::milliseconds kWait{10000};

// Polls `condition` until it holds or `timeout` has passed; true when it held.
bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout = kWait);

// Top-level windows of this process, optionally only those of one class, one thread,
// or those that are visible.
struct WindowFilter {
  const wchar_t *className = nullptr;
  DWORD threadId = 0;
  bool visibleOnly = true;
  HWND owner = nullptr;
};
std::vector<HWND> processWindows(const WindowFilter &filter = {});
HWND waitForWindow(const WindowFilter &filter, std::chrono::milliseconds timeout = kWait);

// Class name and text of a window; the text is read with a bounded WM_GETTEXT.
std::wstring classOf(HWND window);
std::wstring textOf(HWND window);
// The text the window system keeps for the window, read without a message: it works
// while the window's thread is blocked.
std::wstring storedTextOf(HWND window);
bool setTextOf(HWND window, const std::wstring &text);
LRESULT sendBounded(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

// Posted input: a click (BM_CLICK) and a key pressed and released on `target`.
void click(HWND button);
void pressKey(HWND target, UINT virtualKey);

// A list box's items, and posted mouse clicks on item `index` (0-based) in the middle
// of its line: a click, and a double-click (down, up, double-click, up), once the item is
// laid out (a window just shown may fill its list a moment later); false when it never is.
std::vector<std::wstring> listItems(HWND list);
bool clickListItem(HWND list, int index);
bool doubleClickListItem(HWND list, int index);
// A double-click on the list's empty space below its items.
void doubleClickBelowItems(HWND list);

// Moves the mouse pointer to the middle of `window`.
void pointAt(HWND window);

// The text of the tooltip control's tool `tool` of `toolOwner` (TTM_GETTEXT).
std::wstring tooltipText(HWND tooltip, HWND toolOwner, HWND tool);

// True when `upper` stands above `lower` in the stacking order of top-level windows.
bool isAbove(HWND upper, HWND lower);

// The window that has the keyboard focus / the active window of the given thread.
HWND focusOf(DWORD threadId);
HWND activeOf(DWORD threadId);

// The number of pixels of `window` on the screen that differ from the face colour of
// dialogs (COLOR_BTNFACE): what has been drawn on it, read back from the display. A
// child window counts only where its parent's client area shows it.
int inkedPixels(HWND window);

// A rectangle in twips, from the top left corner of the parent's client area.
struct Twips {
  int left;
  int top;
  int width;
  int height;
};
int pixelsToTwipsX(int pixels);
int pixelsToTwipsY(int pixels);
Twips controlTwips(HWND control);
Twips clientTwips(HWND window); // client area size, left and top 0
Twips windowTwips(HWND window); // outer size on the screen

// The combo box's list entries.
std::vector<std::wstring> comboItems(HWND combo);

// Selects entry `index` of the combo box and tells its parent, as a user's choice does
// (CBN_SELCHANGE); returns once the parent has handled it.
void chooseComboItem(HWND combo, int index);

// The ids of the window's visible child controls, in their order (the tab order).
std::vector<int> visibleControls(HWND window);

// Saves a picture of the screen as <BRENNOW_SCREENSHOTS>/<name>.png with ImageMagick's
// import, started on the Unix side; waits until the file is complete. False when the
// folder is not set or the picture did not come. Every window of the process is
// repainted first, unless `repaint` is Repaint::No (a blocked thread would hold it up).
enum class Repaint { Yes, No };
bool saveScreenshot(const std::wstring &name, Repaint repaint = Repaint::Yes);

// A thread of its own for a second host, joined while the joining thread keeps
// handling its messages: a thread that ends may still need a word with the others'
// windows, and a blocked STA thread would never answer. The destructor joins once more;
// a thread still running then ends the whole program with kThreadOutlivedItsTest.
inline constexpr UINT kThreadOutlivedItsTest = 70;
class PumpingThread {
public:
  explicit PumpingThread(std::function<void()> body);
  ~PumpingThread();
  PumpingThread(const PumpingThread &) = delete;
  PumpingThread &operator=(const PumpingThread &) = delete;
  // True when the thread ended within `timeout`.
  bool join(std::chrono::milliseconds timeout = kWait);

private:
  static DWORD WINAPI run(void *self);
  std::function<void()> body_;
  HANDLE thread_ = nullptr;
};

// One modal showing: `show` runs on the calling thread and blocks while the dialog is
// open; `drive` runs meanwhile on a driver thread. When `drive` has returned and the
// showing goes on, its windows are closed (and the test fails), last of all by WM_QUIT.
class Showing {
public:
  DWORD threadId() const noexcept { return threadId_; }
  bool ended() const noexcept { return ended_; }
  // The visible top-level window of `className` on the showing's thread, or null
  // when none came or the showing ended first.
  HWND waitForWindow(const wchar_t *className) const;
  // Waits until the showing has returned; false on timeout.
  bool waitForEnd() const;

private:
  friend void runShowing(const std::function<void()> &, const std::function<void(Showing &)> &);
  DWORD threadId_ = 0;
  std::atomic<bool> ended_{false};
};
void runShowing(const std::function<void()> &show, const std::function<void(Showing &)> &drive);

} // namespace uitest
