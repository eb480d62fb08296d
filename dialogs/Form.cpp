#include "dialogs/Form.h"

#include <usp10.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "common/AutomationError.h"
#include "common/win/automation.h"

namespace brennow::dialogs {
namespace {

constexpr int kComboListRows = 8;
constexpr wchar_t kMessageCaption[] = L"Corvalen";

// A dialog template of the given class with no controls: the frame is the standard
// resizable one, the window starts hidden at the system's default place, and its
// size is set in pixels once it exists.
std::vector<DWORD> emptyTemplate(const wchar_t *className) {
  DLGTEMPLATE header{};
  header.style = WS_OVERLAPPEDWINDOW;
  header.x = static_cast<short>(0x8000); // CW_USEDEFAULT in a template
  const std::size_t nameChars = std::wcslen(className) + 1;
  // header, no menu, class name, empty title
  const std::size_t bytes = sizeof header + sizeof(WORD) * (1 + nameChars + 1);
  std::vector<DWORD> storage((bytes + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
  auto *cursor = reinterpret_cast<unsigned char *>(storage.data());
  std::memcpy(cursor, &header, sizeof header);
  cursor += sizeof header + sizeof(WORD);
  std::memcpy(cursor, className, nameChars * sizeof(wchar_t));
  return storage;
}

int screenDpi(int index) {
  const HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, index);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

HICON loadIcon(int iconId, int size) {
  return static_cast<HICON>(LoadImageW(win::thisModule(), MAKEINTRESOURCEW(iconId), IMAGE_ICON,
                                       size, size, LR_DEFAULTCOLOR));
}

// An event procedure's failure; showing it must not throw in turn.
void reportFailure(HWND window, const wchar_t *description) noexcept {
  MessageBoxW(window, description, kMessageCaption, MB_ICONSTOP | MB_OK);
}

// A drop-down combo box is as high as its selection field makes it; the field is
// adjusted so the closed box has its designed height.
void fitComboHeight(HWND combo, int height) {
  RECT box{};
  GetWindowRect(combo, &box);
  const auto field = static_cast<int>(SendMessageW(combo, CB_GETITEMHEIGHT, WPARAM(-1), 0));
  const int adjusted = field + height - (box.bottom - box.top);
  if (field > 0 && adjusted > 0 && adjusted != field)
    SendMessageW(combo, CB_SETITEMHEIGHT, WPARAM(-1), adjusted);
}

// Wine 8 keeps one text-shaping cache per font for the whole process, frees it with its
// last user and builds it without holding its lock: two threads that shape text in a font
// at the same moment while it has no cache (edit boxes do, when two dialogs are built at
// once) can free a cache still in use, and the process crashes or hangs later. One
// analysis of a Latin sample in the dialog font, kept for the life of the process and
// never freed, builds that font's cache and its Latin tables once, on one thread, and
// keeps them from being built again. It does not cover other fonts, nor two threads
// shaping a script other than Latin for the first time at once. On Windows it costs one
// analysis. usp10 is loaded here rather than imported: the library's imports stay the
// system libraries every host has loaded anyway.
struct DcDeleter {
  void operator()(HDC dc) const noexcept { DeleteDC(dc); }
};

BOOL CALLBACK keepDialogFontShaped(INIT_ONCE *, void *, void **) {
  const HMODULE usp10 = LoadLibraryW(L"usp10.dll");
  const auto analyse =
      usp10 ? reinterpret_cast<decltype(&ScriptStringAnalyse)>(
                  reinterpret_cast<void *>(GetProcAddress(usp10, "ScriptStringAnalyse")))
            : nullptr;
  const std::unique_ptr<HDC__, DcDeleter> dc(CreateCompatibleDC(nullptr));
  if (analyse && dc) {
    // A stock font: the memory DC may be deleted with it selected.
    SelectObject(dc.get(), GetStockObject(DEFAULT_GUI_FONT));
    static constexpr wchar_t kSample[] = L"Hostname: 0123456789";
    constexpr int kLength = static_cast<int>(std::size(kSample) - 1);
    static SCRIPT_STRING_ANALYSIS kept = nullptr;
    analyse(dc.get(), kSample, kLength, 2 * kLength + 16, -1, SSA_GLYPHS | SSA_FALLBACK | SSA_LINK,
            0, nullptr, nullptr, nullptr, nullptr, nullptr, &kept);
  }
  // Without it the dialogs still work, only unprotected.
  return TRUE;
}

void keepDialogFontShapedOnce() {
  static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
  InitOnceExecuteOnce(&once, keepDialogFontShaped, nullptr, nullptr);
}

} // namespace

int messageBox(HWND owner, const std::wstring &text, UINT style) {
  return MessageBoxW(owner, text.c_str(), kMessageCaption, style);
}

[[noreturn]] void throwLastError() {
  const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
  throw AutomationError(hr, win::describeHresult(hr));
}

int twipsToPixelsX(int twips) { return MulDiv(twips, screenDpi(LOGPIXELSX), 1440); }
int twipsToPixelsY(int twips) { return MulDiv(twips, screenDpi(LOGPIXELSY), 1440); }

FormClass::FormClass(const wchar_t *name) : name_(name) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = DefDlgProcW;
  windowClass.cbWndExtra = DLGWINDOWEXTRA;
  windowClass.hInstance = win::thisModule();
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = name;
  atom_ = RegisterClassExW(&windowClass);
  if (!atom_)
    throwLastError();
}

FormClass::~FormClass() { UnregisterClassW(MAKEINTATOM(atom_), win::thisModule()); }

Form::Form(const FormClass &windowClass, const FormDesign &design, FormEvents events)
    : events_(std::move(events)) {
  const std::vector<DWORD> dialogTemplate = emptyTemplate(windowClass.name());
  const HWND window = CreateDialogIndirectParamW(
      win::thisModule(), reinterpret_cast<const DLGTEMPLATE *>(dialogTemplate.data()), nullptr,
      dialogProc, reinterpret_cast<LPARAM>(this));
  if (!window)
    throwLastError();
  window_.reset(window);

  RECT outer{0, 0, twipsToPixelsX(design.clientWidth), twipsToPixelsY(design.clientHeight)};
  AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE)));
  SetWindowPos(window, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  createControls(design);
}

Form::~Form() {
  enableDisabledWindows();
  if (window_)
    SetWindowLongPtrW(window_.get(), DWLP_USER, 0);
}

void Form::createControls(const FormDesign &design) {
  keepDialogFontShapedOnce();
  for (const ControlDesign &control : design.controls) {
    const int height = twipsToPixelsY(control.height);
    // A combo box is created with room for its drop-down list below the closed box.
    const bool comboBox = std::wcscmp(control.windowClass, L"COMBOBOX") == 0;
    const HWND created = CreateWindowExW(
        control.exStyle, control.windowClass, control.text, WS_CHILD | WS_VISIBLE | control.style,
        twipsToPixelsX(control.left), twipsToPixelsY(control.top), twipsToPixelsX(control.width),
        comboBox ? height * kComboListRows : height, hwnd(),
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), win::thisModule(), nullptr);
    if (!created)
      throwLastError();
    // The window system's default font for dialogs (a stock object: never deleted).
    SendMessageW(created, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                 FALSE);
    if (comboBox)
      fitComboHeight(created, height);
  }
}

std::wstring Form::text(int id) const {
  const HWND window = control(id);
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), int(text.size()))));
  return text;
}

void Form::setText(int id, std::wstring_view text) {
  SetWindowTextW(control(id), std::wstring(text).c_str());
}

void Form::setCaption(std::wstring_view caption) {
  SetWindowTextW(hwnd(), std::wstring(caption).c_str());
}

void Form::setIcon(int iconId) {
  bigIcon_.reset(loadIcon(iconId, 32));
  smallIcon_.reset(loadIcon(iconId, 16));
  if (bigIcon_)
    SendMessageW(hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_.get()));
  if (smallIcon_)
    SendMessageW(hwnd(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_.get()));
}

namespace {

struct EnabledWindows {
  HWND except;
  std::vector<HWND> found;
};

BOOL CALLBACK collectEnabledWindow(HWND window, LPARAM context) {
  auto *windows = reinterpret_cast<EnabledWindows *>(context);
  if (window != windows->except && IsWindowVisible(window) && IsWindowEnabled(window))
    windows->found.push_back(window);
  return TRUE;
}

} // namespace

void Form::disableOtherWindows() {
  EnabledWindows windows{hwnd(), {}};
  EnumThreadWindows(GetCurrentThreadId(), collectEnabledWindow, reinterpret_cast<LPARAM>(&windows));
  for (const HWND window : windows.found)
    EnableWindow(window, FALSE);
  disabledWindows_ = std::move(windows.found);
}

void Form::enableDisabledWindows() noexcept {
  for (const HWND window : disabledWindows_)
    if (IsWindow(window))
      EnableWindow(window, TRUE);
  disabledWindows_.clear();
}

bool Form::isKeyForHelp(const MSG &message) const {
  return message.message == WM_KEYDOWN && message.wParam == VK_F1 &&
         (message.hwnd == hwnd() || IsChild(hwnd(), message.hwnd));
}

void Form::showModal(int focusId) {
  disableOtherWindows();
  ShowWindow(hwnd(), SW_SHOWNORMAL);
  SetForegroundWindow(hwnd());
  SendMessageW(hwnd(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control(focusId)), TRUE);
  MSG message;
  while (alive()) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (got == -1)
      break;
    if (isKeyForHelp(message)) {
      if (events_.help)
        events_.help();
      continue;
    }
    if (!IsDialogMessageW(hwnd(), &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  unload();
}

void Form::unload() {
  enableDisabledWindows();
  window_.reset();
}

INT_PTR CALLBACK Form::dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG)
    SetWindowLongPtrW(window, DWLP_USER, lParam);
  auto *form = reinterpret_cast<Form *>(GetWindowLongPtrW(window, DWLP_USER));
  if (!form)
    return FALSE;
  if (message == WM_NCDESTROY) {
    form->forget(window);
    return FALSE;
  }
  // Nothing may unwind through the window manager's frames: an error in an event
  // procedure is reported here, and the dialog goes on.
  try {
    return form->handle(message, wParam, lParam);
  } catch (const AutomationError &error) {
    reportFailure(window, error.description().c_str());
  } catch (const std::bad_alloc &) {
    reportFailure(window, L"Out of memory");
  } catch (...) {
    reportFailure(window, L"Unexpected failure");
  }
  return TRUE;
}

void Form::forget(HWND window) noexcept {
  // The window is gone. The modal loop is woken in case the close came from a sent
  // message, for which GetMessage would not return.
  SetWindowLongPtrW(window, DWLP_USER, 0);
  if (window_.get() == window)
    (void)window_.release();
  PostMessageW(nullptr, WM_NULL, 0, 0);
}

INT_PTR Form::handle(UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
  case WM_COMMAND:
    // IDOK and IDCANCEL come from Enter and Escape, not from a control: ignored.
    if (LOWORD(wParam) != IDOK && LOWORD(wParam) != IDCANCEL && events_.command)
      events_.command(LOWORD(wParam), HIWORD(wParam));
    return TRUE;
  case WM_CLOSE:
    unload();
    return TRUE;
  case WM_HELP:
    if (events_.help)
      events_.help();
    return TRUE;
  case WM_SIZE:
    if (events_.resize)
      events_.resize();
    return FALSE;
  default:
    return FALSE;
  }
}

} // namespace brennow::dialogs
