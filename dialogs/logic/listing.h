#pragma once
// The list button of the settings dialog: connects with the typed host name, user
// name and password, lists the registered machines in the picker and puts the picked
// name into the machine box. The window work is behind ListingUi, which the settings
// dialog implements.
#include <optional>
#include <string>

#include "vmserver/VMServer.h"

namespace brennow::dialogs {

enum class MessageIcon { None, Stop };

class ListingUi {
public:
  virtual ~ListingUi() = default;
  // The status line, repainted at once.
  virtual void setStatus(const std::wstring &text) = 0;
  virtual std::wstring hostname() = 0;
  virtual std::wstring username() = 0;
  virtual std::wstring password() = 0;
  virtual void showMessage(const std::wstring &text, MessageIcon icon) = 0;
  // The picker's list; clearing creates the picker, hidden, when it does not exist.
  virtual void clearPickerList() = 0;
  virtual void appendToPickerList(const std::wstring &name) = 0;
  virtual void setPickerCaption(const std::wstring &caption) = 0;
  // Shows the picker modally; the name double-clicked in it, or nothing.
  virtual std::optional<std::wstring> showPicker() = 0;
  virtual void setVmName(const std::wstring &name) = 0;
};

inline constexpr wchar_t kWorkingStatus[] = L"Working...";
inline constexpr wchar_t kMissingCredentials[] =
    L"Can't list the VMs with a username and/or password!";
inline constexpr wchar_t kNoRegisteredMachines[] = L"No registered virtual machines on this server";
inline constexpr wchar_t kPickerCaptionPrefix[] = L"Registered virtual machines on ";

// cmdListVMS_Click. Failures are reported in message boxes, never thrown.
void listVirtualMachines(ListingUi &ui, vmserver::Automation &automation);

} // namespace brennow::dialogs
