#include "tests/wine/ui/UiDriver.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <thread>

namespace uitest {
namespace {

constexpr UINT kSendTimeoutMs = 5000;

struct Enumeration {
  const WindowFilter *filter;
  std::vector<HWND> found;
};

bool matches(HWND window, const WindowFilter &filter) {
  DWORD process = 0;
  const DWORD thread = GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId())
    return false;
  if (filter.threadId && thread != filter.threadId)
    return false;
  if (filter.visibleOnly && !IsWindowVisible(window))
    return false;
  if (filter.owner && GetWindow(window, GW_OWNER) != filter.owner)
    return false;
  return !filter.className || classOf(window) == filter.className;
}

BOOL CALLBACK collect(HWND window, LPARAM context) {
  auto *enumeration = reinterpret_cast<Enumeration *>(context);
  if (matches(window, *enumeration->filter))
    enumeration->found.push_back(window);
  return TRUE;
}

int screenDpi(int index) {
  const HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, index);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

std::wstring environment(const wchar_t *name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0)
    return {};
  std::wstring value(size, L'\0');
  value.resize(GetEnvironmentVariableW(name, value.data(), size));
  return value;
}

// The Unix path as the Windows side sees it through drive Z:.
std::wstring windowsPathOf(const std::wstring &unixPath) {
  std::wstring path = L"Z:" + unixPath;
  for (wchar_t &c : path)
    if (c == L'/')
      c = L'\\';
  return path;
}

// Wine starts a Unix program given by its Z: path; the program runs detached (no
// process handle comes back), so completion is seen through the file it renames.
bool startUnixShell(const std::wstring &script) {
  std::wstring commandLine = L"/bin/sh -c \"" + script + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(L"Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &process))
    return false;
  if (process.hThread)
    CloseHandle(process.hThread);
  if (process.hProcess)
    CloseHandle(process.hProcess);
  return true;
}

} // namespace

bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition())
      return true;
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    Sleep(10);
  }
}

std::vector<HWND> processWindows(const WindowFilter &filter) {
  Enumeration enumeration{&filter, {}};
  EnumWindows(collect, reinterpret_cast<LPARAM>(&enumeration));
  return enumeration.found;
}

HWND waitForWindow(const WindowFilter &filter, std::chrono::milliseconds timeout) {
  HWND found = nullptr;
  waitUntil(
      [&] {
        const auto windows = processWindows(filter);
        found = windows.empty() ? nullptr : windows.front();
        return found != nullptr;
      },
      timeout);
  return found;
}

std::wstring classOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

LRESULT sendBounded(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
  return static_cast<LRESULT>(result);
}

std::wstring textOf(HWND window) {
  const auto length = static_cast<std::size_t>(sendBounded(window, WM_GETTEXTLENGTH));
  std::wstring text(length + 1, L'\0');
  const auto copied = static_cast<std::size_t>(
      sendBounded(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data())));
  text.resize(copied);
  return text;
}

std::wstring storedTextOf(HWND window) {
  wchar_t text[1024] = {};
  const int copied = InternalGetWindowText(window, text, 1024);
  return std::wstring(text, static_cast<std::size_t>(copied > 0 ? copied : 0));
}

bool setTextOf(HWND window, const std::wstring &text) {
  return sendBounded(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str())) != 0;
}

void click(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

void pressKey(HWND target, UINT virtualKey) {
  const UINT scanCode = MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
  const LPARAM down = 1 | (static_cast<LPARAM>(scanCode) << 16);
  const LPARAM up = down | (LPARAM(1) << 30) | (LPARAM(1) << 31);
  PostMessageW(target, WM_KEYDOWN, virtualKey, down);
  PostMessageW(target, WM_KEYUP, virtualKey, up);
}

std::vector<std::wstring> listItems(HWND list) {
  std::vector<std::wstring> items;
  const auto count = sendBounded(list, LB_GETCOUNT);
  for (LRESULT i = 0; i < count; ++i) {
    std::wstring item(static_cast<std::size_t>(sendBounded(list, LB_GETTEXTLEN, i)) + 1, L'\0');
    item.resize(static_cast<std::size_t>(
        sendBounded(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(item.data()))));
    items.push_back(item);
  }
  return items;
}

namespace {

LPARAM clientPoint(int x, int y) { return MAKELPARAM(x, y); }

// The middle of item `index`'s line, in the list's client coordinates.
bool itemMiddle(HWND list, int index, LPARAM &point) {
  RECT line{};
  if (sendBounded(list, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&line)) == LB_ERR ||
      line.bottom <= line.top)
    return false;
  point = clientPoint((line.left + line.right) / 2, (line.top + line.bottom) / 2);
  return true;
}

void postClick(HWND list, LPARAM point) {
  PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, point);
  PostMessageW(list, WM_LBUTTONUP, 0, point);
}

void postDoubleClick(HWND list, LPARAM point) {
  postClick(list, point);
  PostMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, point);
  PostMessageW(list, WM_LBUTTONUP, 0, point);
}

} // namespace

bool clickListItem(HWND list, int index) {
  LPARAM point = 0;
  if (!waitUntil([&] { return itemMiddle(list, index, point); }))
    return false;
  postClick(list, point);
  return true;
}

bool doubleClickListItem(HWND list, int index) {
  LPARAM point = 0;
  if (!waitUntil([&] { return itemMiddle(list, index, point); }))
    return false;
  postDoubleClick(list, point);
  return true;
}

void doubleClickBelowItems(HWND list) {
  RECT client{};
  GetClientRect(list, &client);
  const auto lines = static_cast<int>(sendBounded(list, LB_GETCOUNT));
  const auto lineHeight = static_cast<int>(sendBounded(list, LB_GETITEMHEIGHT, 0));
  const int y = (lines * lineHeight + client.bottom) / 2;
  PostMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, clientPoint(client.right / 2, y));
  PostMessageW(list, WM_LBUTTONUP, 0, clientPoint(client.right / 2, y));
}

void pointAt(HWND window) {
  RECT box{};
  GetWindowRect(window, &box);
  SetCursorPos((box.left + box.right) / 2, (box.top + box.bottom) / 2);
}

std::wstring tooltipText(HWND tooltip, HWND toolOwner, HWND tool) {
  constexpr std::size_t kLongestTip = 1024;
  std::wstring text(kLongestTip + 1, L'\0');
  TOOLINFOW info{};
  info.cbSize = TTTOOLINFOW_V2_SIZE;
  info.hwnd = toolOwner;
  info.uId = reinterpret_cast<UINT_PTR>(tool);
  info.lpszText = text.data();
  sendBounded(tooltip, TTM_GETTEXTW, text.size(), reinterpret_cast<LPARAM>(&info));
  text.resize(std::wcslen(text.c_str()));
  return text;
}

bool isAbove(HWND upper, HWND lower) {
  for (HWND below = GetWindow(upper, GW_HWNDNEXT); below; below = GetWindow(below, GW_HWNDNEXT))
    if (below == lower)
      return true;
  return false;
}

HWND focusOf(DWORD threadId) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(threadId, &info) ? info.hwndFocus : nullptr;
}

HWND activeOf(DWORD threadId) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(threadId, &info) ? info.hwndActive : nullptr;
}

int pixelsToTwipsX(int pixels) { return MulDiv(pixels, 1440, screenDpi(LOGPIXELSX)); }
int pixelsToTwipsY(int pixels) { return MulDiv(pixels, 1440, screenDpi(LOGPIXELSY)); }

Twips controlTwips(HWND control) {
  RECT rect{};
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT *>(&rect), 2);
  return {pixelsToTwipsX(rect.left), pixelsToTwipsY(rect.top),
          pixelsToTwipsX(rect.right - rect.left), pixelsToTwipsY(rect.bottom - rect.top)};
}

Twips windowTwips(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  return {0, 0, pixelsToTwipsX(rect.right - rect.left), pixelsToTwipsY(rect.bottom - rect.top)};
}

namespace {

// Owners of the GDI objects of one read-back of the screen.
struct DcReleaser {
  void operator()(HDC dc) const noexcept { ReleaseDC(nullptr, dc); }
};
struct DcDeleter {
  void operator()(HDC dc) const noexcept { DeleteDC(dc); }
};
struct BitmapDeleter {
  void operator()(HBITMAP bitmap) const noexcept { DeleteObject(bitmap); }
};

} // namespace

namespace {

// The part of `window` that shows on the screen: a child is clipped by its parent's
// client area.
RECT visibleBox(HWND window) {
  RECT box{};
  GetWindowRect(window, &box);
  const HWND parent =
      (GetWindowLongPtrW(window, GWL_STYLE) & WS_CHILD) ? GetParent(window) : nullptr;
  if (!parent)
    return box;
  RECT client{};
  GetClientRect(parent, &client);
  MapWindowPoints(parent, nullptr, reinterpret_cast<POINT *>(&client), 2);
  RECT visible{};
  IntersectRect(&visible, &box, &client);
  return visible;
}

} // namespace

int inkedPixels(HWND window) {
  const RECT box = visibleBox(window);
  const int width = box.right - box.left;
  const int height = box.bottom - box.top;
  if (width <= 0 || height <= 0)
    return 0;
  const std::unique_ptr<HDC__, DcReleaser> screen(GetDC(nullptr));
  const std::unique_ptr<HDC__, DcDeleter> memory(CreateCompatibleDC(screen.get()));
  BITMAPINFO format{};
  format.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void *bits = nullptr;
  const std::unique_ptr<HBITMAP__, BitmapDeleter> picture(
      CreateDIBSection(memory.get(), &format, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!screen || !memory || !picture || !bits)
    return 0;
  const HGDIOBJ previous = SelectObject(memory.get(), picture.get());
  BitBlt(memory.get(), 0, 0, width, height, screen.get(), box.left, box.top, SRCCOPY);
  SelectObject(memory.get(), previous);
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  const DWORD faceBits =
      (DWORD(GetRValue(face)) << 16) | (DWORD(GetGValue(face)) << 8) | DWORD(GetBValue(face));
  const auto *pixel = static_cast<const DWORD *>(bits);
  int inked = 0;
  for (int i = 0; i < width * height; ++i)
    inked += (pixel[i] & 0xFFFFFF) != faceBits;
  return inked;
}

Twips clientTwips(HWND window) {
  RECT rect{};
  GetClientRect(window, &rect);
  return {0, 0, pixelsToTwipsX(rect.right), pixelsToTwipsY(rect.bottom)};
}

std::vector<std::wstring> comboItems(HWND combo) {
  std::vector<std::wstring> items;
  const auto count = sendBounded(combo, CB_GETCOUNT);
  for (LRESULT i = 0; i < count; ++i) {
    std::wstring item(static_cast<std::size_t>(sendBounded(combo, CB_GETLBTEXTLEN, i)) + 1, L'\0');
    item.resize(static_cast<std::size_t>(
        sendBounded(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()))));
    items.push_back(item);
  }
  return items;
}

void chooseComboItem(HWND combo, int index) {
  sendBounded(combo, CB_SETCURSEL, static_cast<WPARAM>(index));
  const auto id = GetDlgCtrlID(combo);
  sendBounded(GetParent(combo), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
              reinterpret_cast<LPARAM>(combo));
}

std::vector<int> visibleControls(HWND window) {
  std::vector<int> ids;
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    if (IsWindowVisible(child))
      ids.push_back(GetDlgCtrlID(child));
  return ids;
}

bool saveScreenshot(const std::wstring &name, Repaint repaint) {
  const std::wstring folder = environment(L"BRENNOW_SCREENSHOTS");
  const std::wstring display = environment(L"DISPLAY");
  if (folder.empty() || display.empty())
    return false;
  const std::wstring picture = folder + L"/" + name + L".png";
  const std::wstring part = picture + L".part";
  DeleteFileW(windowsPathOf(picture).c_str());
  // Windows just shown may not have painted yet: have every window of the process
  // painted now (each by its own thread) before the picture is taken.
  for (HWND window : repaint == Repaint::Yes ? processWindows() : std::vector<HWND>{}) {
    sendBounded(window, WM_NULL);
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  }
  GdiFlush();
  const std::wstring script = L"import -display " + display + L" -window root png:'" + part +
                              L"' && mv '" + part + L"' '" + picture + L"'";
  if (!startUnixShell(script))
    return false;
  const std::wstring seenFromWindows = windowsPathOf(picture);
  return waitUntil(
      [&] { return GetFileAttributesW(seenFromWindows.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

PumpingThread::PumpingThread(std::function<void()> body) : body_(std::move(body)) {
  thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
}

PumpingThread::~PumpingThread() {
  if (!thread_)
    return;
  if (!join()) {
    // Its body refers to the frame that is ending: returning would let it run on in a
    // finished test's memory. The program stops here instead.
    ADD_FAILURE() << "a thread of the test was still running when it had to be gone";
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), kThreadOutlivedItsTest);
  }
  CloseHandle(thread_);
}

DWORD WINAPI PumpingThread::run(void *self) {
  static_cast<PumpingThread *>(self)->body_();
  return 0;
}

bool PumpingThread::join(std::chrono::milliseconds timeout) {
  if (!thread_)
    return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return false;
    const DWORD woke = MsgWaitForMultipleObjects(1, &thread_, FALSE,
                                                 static_cast<DWORD>(left.count()), QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0)
      return true;
    if (woke != WAIT_OBJECT_0 + 1)
      return false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

HWND Showing::waitForWindow(const wchar_t *className) const {
  HWND found = nullptr;
  waitUntil([&] {
    const auto windows = processWindows({className, threadId_, true, nullptr});
    found = windows.empty() ? nullptr : windows.front();
    return found != nullptr || ended_;
  });
  return found;
}

bool Showing::waitForEnd() const {
  return waitUntil([&] { return ended_.load(); });
}

namespace {

// Closes what the showing left open: its windows first, then the loop by WM_QUIT.
bool rescue(const Showing &showing) {
  for (int round = 0; round < 3 && !showing.ended(); ++round) {
    for (HWND window : processWindows({nullptr, showing.threadId(), true, nullptr}))
      PostMessageW(window, WM_CLOSE, 0, 0);
    if (waitUntil([&] { return showing.ended(); }, std::chrono::milliseconds(2000)))
      return false;
  }
  if (showing.ended())
    return false;
  PostThreadMessageW(showing.threadId(), WM_QUIT, 0, 0);
  return true;
}

} // namespace

void runShowing(const std::function<void()> &show, const std::function<void(Showing &)> &drive) {
  Showing showing;
  showing.threadId_ = GetCurrentThreadId();
  bool quitPosted = false;
  std::thread driver([&] {
    drive(showing);
    if (!showing.waitForEnd()) {
      ADD_FAILURE() << "the showing was still open after the driver had finished";
      quitPosted = rescue(showing);
    }
  });
  show();
  showing.ended_ = true;
  driver.join();
  if (quitPosted) {
    MSG message;
    PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
  }
}

} // namespace uitest
