#include "dialogs/help.h"

#include <htmlhelp.h>

#include <string>

#include "common/win/automation.h"

namespace brennow::dialogs {
namespace {

using HtmlHelpFunction = HWND(WINAPI *)(HWND, LPCWSTR, UINT, DWORD_PTR);

// Loaded once and kept for the life of the process: the viewer's windows may outlive
// the dialog that opened them.
HtmlHelpFunction htmlHelp() {
  static const HtmlHelpFunction function = [] {
    const HMODULE viewer = LoadLibraryW(L"hhctrl.ocx");
    return viewer ? reinterpret_cast<HtmlHelpFunction>(
                        reinterpret_cast<void *>(GetProcAddress(viewer, "HtmlHelpW")))
                  : nullptr;
  }();
  return function;
}

std::wstring moduleFolder() {
  const std::wstring path = win::thisModulePath();
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

} // namespace

void showHelpContext(HWND caller, DWORD contextId) {
  if (const HtmlHelpFunction function = htmlHelp()) {
    const std::wstring file = moduleFolder() + L"brennow.chm";
    function(caller, file.c_str(), HH_HELP_CONTEXT, contextId);
  }
}

} // namespace brennow::dialogs
