#pragma once
// The list button of the settings dialog: connects with the typed host name, user
// name and password, lists the registered machines (or a vSphere server's datastores or
// hosts) in the picker and puts the picked name into the box. A server whose certificate
// is not trusted is asked about: trusted, its thumbprint is kept for the dialog's OK and
// the listing starts again. The window work is behind ListingUi, which the settings
// dialog implements.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dialogs/logic/checkForm.h"
#include "vmserver/VMServer.h"

namespace brennow::dialogs {

enum class MessageIcon { None, Stop };

// A line of the picker: what it shows, and the name a pick of it puts into the box.
struct PickerLine {
  std::wstring text;
  std::wstring name;
  bool operator==(const PickerLine &) const = default;
};

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
  virtual void appendToPickerList(const PickerLine &line) = 0;
  virtual void setPickerCaption(const std::wstring &caption) = 0;
  // Shows the picker modally; the name of the line double-clicked in it, or nothing.
  virtual std::optional<std::wstring> showPicker() = 0;
  // The box the listing fills: the machine's, or the datastore's or host's in its place.
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
inline constexpr wchar_t kNoDatastores[] = L"No datastores on this server";
inline constexpr wchar_t kDatastoresCaptionPrefix[] = L"Datastores on ";
inline constexpr wchar_t kNoHosts[] = L"No hosts on this server";
inline constexpr wchar_t kHostsCaptionPrefix[] = L"Hosts on ";

// The adapter for the server type chosen in the dialog, trusting the certificate with
// `thumbprint` besides what the system trusts.
using AutomationMaker =
    std::function<std::unique_ptr<vmserver::Automation>(const std::wstring &thumbprint)>;

// What a listing reads of the connected server: the count, and line `index` (1-based).
class PickerLines {
public:
  virtual ~PickerLines() = default;
  virtual std::int32_t count() = 0;
  virtual PickerLine item(std::int32_t index) = 0;
};

// What one listing talks through: the adapter, and how step 140 reads the lines from the
// server object it connected at 130.
struct ListingAdapter {
  std::unique_ptr<vmserver::Automation> automation;
  std::function<std::unique_ptr<PickerLines>(vmserver::Server &connected)> readLines;
};
using ListingAdapterMaker = std::function<ListingAdapter(const std::wstring &thumbprint)>;

// The question asked when the server presents a certificate that is not trusted
// (`pinnedMismatch`: another than the one trusted so far); the thumbprint is shown in
// pairs of hex digits separated by colons, as server consoles show it, eight pairs a line.
std::wstring trustQuestion(const std::wstring &thumbprint, bool pinnedMismatch);

// The stop message after the user declined to trust the certificate: the listing needs it
// trusted (the check's own text tells how to pin it in the parameter string instead).
std::wstring untrustedForListing(bool pinnedMismatch);

// cmdListVMS_Click. Failures are reported in message boxes, never thrown.
void listVirtualMachines(ListingUi &ui, const AutomationMaker &makeAutomation);

// The same steps, messages and statement numbers for `listed`, the lines read by the adapter
// `makeAdapter` makes; the caption and the message for none name what is listed.
void listObjects(ListingUi &ui, ListedObjects listed, const ListingAdapterMaker &makeAdapter);

} // namespace brennow::dialogs
