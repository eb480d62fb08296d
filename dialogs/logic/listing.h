#pragma once
// The list button of the settings dialog: connects with the typed host name, user
// name and password, lists the registered machines in the picker and puts the picked
// name into the machine box. A server whose certificate is not trusted is asked about:
// trusted, its thumbprint is kept for the dialog's OK and the listing starts again. The
// window work is behind ListingUi, which the settings dialog implements.
#include <functional>
#include <memory>
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
  // A question with Yes and No; true for Yes.
  virtual bool askYesNo(const std::wstring &text) = 0;
  // The thumbprint of the certificate trusted for this check ("THUMB", may be empty),
  // and its replacement once the user trusts another.
  virtual std::wstring trustedThumbprint() = 0;
  virtual void trustThumbprint(const std::wstring &thumbprint) = 0;
};

inline constexpr wchar_t kWorkingStatus[] = L"Working...";
inline constexpr wchar_t kMissingCredentials[] =
    L"Can't list the VMs with a username and/or password!";
inline constexpr wchar_t kNoRegisteredMachines[] = L"No registered virtual machines on this server";
inline constexpr wchar_t kPickerCaptionPrefix[] = L"Registered virtual machines on ";

// The adapter for the server type chosen in the dialog, trusting the certificate with
// `thumbprint` besides what the system trusts.
using AutomationMaker =
    std::function<std::unique_ptr<vmserver::Automation>(const std::wstring &thumbprint)>;

// The question asked when the server presents a certificate that is not trusted
// (`pinnedMismatch`: another than the one trusted so far); the thumbprint is shown in
// pairs of hex digits separated by colons, as server consoles show it, eight pairs a line.
std::wstring trustQuestion(const std::wstring &thumbprint, bool pinnedMismatch);

// The stop message after the user declined to trust the certificate: the listing needs it
// trusted (the check's own text tells how to pin it in the parameter string instead).
std::wstring untrustedForListing(bool pinnedMismatch);

// cmdListVMS_Click. Failures are reported in message boxes, never thrown.
void listVirtualMachines(ListingUi &ui, const AutomationMaker &makeAutomation);

} // namespace brennow::dialogs
