#include "tests/wine/ui/UiDriver.h"

#include <gtest/gtest.h>

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

bool saveScreenshot(const std::wstring &name) {
  const std::wstring folder = environment(L"BRENNOW_SCREENSHOTS");
  const std::wstring display = environment(L"DISPLAY");
  if (folder.empty() || display.empty())
    return false;
  const std::wstring picture = folder + L"/" + name + L".png";
  const std::wstring part = picture + L".part";
  DeleteFileW(windowsPathOf(picture).c_str());
  // Windows just shown may not have painted yet: have every window of the process
  // painted now (each by its own thread) before the picture is taken.
  for (HWND window : processWindows()) {
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
  if (thread_) {
    join();
    CloseHandle(thread_);
  }
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
