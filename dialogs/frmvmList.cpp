#include "dialogs/frmvmList.h"

#include <windows.h>

#include <commctrl.h>

#include <vector>

#include "common/PerThread.h"
#include "common/win/automation.h"
#include "dialogs/Form.h"
#include "dialogs/topWindow.h"

namespace brennow::dialogs {
namespace {

using namespace frmvmListControl;

constexpr wchar_t kDesignedCaption[] = L"Form1";
// The picker keeps at least this outer width; the list and the label are this much
// narrower than the window.
constexpr int kSmallestWidth = 3015;
constexpr int kSideRoom = 350;

// The controls in tab order, measured in twips. The list keeps its designed height
// instead of shrinking to whole lines.
const FormDesign &design() {
  static const FormDesign formDesign{
      6285,
      2385,
      {
          {listVMS, L"LISTBOX", L"", 120, 120, 6015, 1815,
           WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, WS_EX_CLIENTEDGE},
          {Label1, L"STATIC", L"Select a process by double clicking it.", 120, 2040, 6015, 255,
           SS_CENTER, 0},
      }};
  return formDesign;
}

const FormClass &frmvmListClass() {
  static const FormClass windowClass(kFrmvmListClassName);
  return windowClass;
}

// twipsToPixelsX(1440) is the display's horizontal resolution in dots per inch.
int pixelsToTwipsX(int pixels) { return MulDiv(pixels, 1440, twipsToPixelsX(1440)); }

int widthInTwips(HWND window) {
  RECT box{};
  GetWindowRect(window, &box);
  return pixelsToTwipsX(box.right - box.left);
}

// Changes the width only; the height, the position and the stacking order stay.
void setWidthInTwips(HWND window, int twips) {
  RECT box{};
  GetWindowRect(window, &box);
  SetWindowPos(window, nullptr, 0, 0, twipsToPixelsX(twips), box.bottom - box.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The tool that stands for the whole list box. Version 5 of the common controls
// refuses the newer, larger structure, so the older size is given.
TOOLINFOW listTool(HWND picker, HWND list, const wchar_t *text) {
  TOOLINFOW tool{};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = picker;
  tool.uId = reinterpret_cast<UINT_PTR>(list);
  tool.lpszText = const_cast<wchar_t *>(text);
  return tool;
}

// The common controls are loaded when the first tooltip is made, not with the library:
// a static import would run comctl32's start-up under the loader lock whenever a host
// loads the component, even for checks that never show a window. Kept loaded after.
void loadCommonControls() {
  static const HMODULE comctl32 = LoadLibraryW(L"comctl32.dll");
  using Init = BOOL(WINAPI *)(const INITCOMMONCONTROLSEX *);
  const auto init = comctl32 ? reinterpret_cast<Init>(reinterpret_cast<void *>(
                                   GetProcAddress(comctl32, "InitCommonControlsEx")))
                             : nullptr;
  if (!init)
    throwLastError();
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TAB_CLASSES};
  init(&controls);
}

// A tooltip control for the list, with no text until an item is clicked. It is owned
// by the picker window, which destroys it before itself.
HWND createListTooltip(HWND picker, HWND list) {
  loadCommonControls();
  const HWND tooltip =
      CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                      WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, picker, nullptr, win::thisModule(), nullptr);
  if (!tooltip)
    throwLastError();
  TOOLINFOW tool = listTool(picker, list, L"");
  if (!SendMessageW(tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool)))
    throwLastError();
  return tooltip;
}

std::wstring selectedItemText(HWND list) {
  const auto selected = SendMessageW(list, LB_GETCURSEL, 0, 0);
  if (selected == LB_ERR)
    return {};
  std::wstring text(static_cast<std::size_t>(SendMessageW(list, LB_GETTEXTLEN, selected, 0)) + 1,
                    L'\0');
  const auto copied =
      SendMessageW(list, LB_GETTEXT, selected, reinterpret_cast<LPARAM>(text.data()));
  text.resize(copied == LB_ERR ? 0 : static_cast<std::size_t>(copied));
  return text;
}

} // namespace

std::wstring &pickedVMName() {
  // A tag type keeps this slot apart from other per-thread texts.
  struct PickedVMName : std::wstring {};
  return perThread<PickedVMName>();
}

struct frmvmList::Window {
  explicit Window(FormEvents events) : form(frmvmListClass(), design(), std::move(events)) {}

  Form form;
  HWND tooltip = nullptr; // owned by the picker window
  bool doubleClicked = false;
  std::vector<std::wstring> names; // what picking each item gives, in the list's order
};

frmvmList &frmvmList::shared() {
  struct SharedPicker : frmvmList {};
  return perThread<SharedPicker>();
}

frmvmList::frmvmList() = default;
frmvmList::~frmvmList() = default;

bool frmvmList::loaded() const noexcept { return window_ && window_->form.alive(); }

frmvmList::Window &frmvmList::form() {
  if (!loaded()) {
    window_.reset();
    window_ = std::make_unique<Window>(FormEvents{
        [this](int controlId, int notification) { onCommand(controlId, notification); }, nullptr,
        [this] {
          if (loaded())
            Form_Resize();
        }});
    Form_Load();
  }
  return *window_;
}

void frmvmList::Form_Load() {
  Form &picker = window_->form;
  picker.setCaption(kDesignedCaption);
  window_->tooltip = createListTooltip(picker.hwnd(), picker.control(listVMS));
}

void frmvmList::clearList() {
  SendMessageW(form().form.control(listVMS), LB_RESETCONTENT, 0, 0);
  window_->names.clear();
}

void frmvmList::addItem(const std::wstring &text, const std::wstring &name) {
  const auto added = SendMessageW(form().form.control(listVMS), LB_ADDSTRING, 0,
                                  reinterpret_cast<LPARAM>(text.c_str()));
  if (added < 0)
    return;
  window_->names.resize(static_cast<std::size_t>(added));
  window_->names.push_back(name);
}

void frmvmList::setCaption(const std::wstring &caption) { form().form.setCaption(caption); }

std::optional<std::wstring> frmvmList::showModal() {
  Window &window = form();
  pickedVMName().clear();
  window.doubleClicked = false;
  // The settings dialog that opens the picker stays above all other windows. The picker
  // joins it in the topmost band, raised last and so above it, and takes the input.
  setTopmost(window.form.hwnd(), true);
  Form_Resize(); // the first showing counts as a resize
  window.form.showModal(listVMS);
  const bool doubleClicked = window_->doubleClicked;
  window_.reset();
  if (!doubleClicked)
    return std::nullopt;
  return pickedVMName();
}

void frmvmList::unload() {
  if (window_)
    window_->form.unload();
  window_.reset();
}

void frmvmList::onCommand(int controlId, int notification) {
  if (controlId != listVMS)
    return;
  if (notification == LBN_SELCHANGE)
    listVMS_Click();
  else if (notification == LBN_DBLCLK)
    listVMS_DblClick();
}

void frmvmList::Form_Resize() {
  const Form &picker = window_->form;
  // A minimized window's width cannot be set; the rule waits for the restored size.
  if (IsIconic(picker.hwnd()))
    return;
  if (widthInTwips(picker.hwnd()) <= kSmallestWidth)
    setWidthInTwips(picker.hwnd(), kSmallestWidth);
  const HWND label = picker.control(Label1);
  setWidthInTwips(label, widthInTwips(picker.hwnd()) - kSideRoom);
  RedrawWindow(label, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  setWidthInTwips(picker.control(listVMS), widthInTwips(picker.hwnd()) - kSideRoom);
}

void frmvmList::listVMS_Click() {
  const Form &picker = window_->form;
  const HWND list = picker.control(listVMS);
  const std::wstring text = selectedItemText(list);
  TOOLINFOW tool = listTool(picker.hwnd(), list, text.c_str());
  SendMessageW(window_->tooltip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

void frmvmList::listVMS_DblClick() {
  const auto selected = SendMessageW(window_->form.control(listVMS), LB_GETCURSEL, 0, 0);
  const auto &names = window_->names;
  pickedVMName() = selected >= 0 && static_cast<std::size_t>(selected) < names.size()
                       ? names[static_cast<std::size_t>(selected)]
                       : std::wstring();
  window_->doubleClicked = true;
  window_->form.unload();
}

} // namespace brennow::dialogs
