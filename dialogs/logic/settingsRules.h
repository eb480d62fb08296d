#pragma once
// What the settings dialog makes of its boxes: its title, the check OK makes before
// accepting, and the parameter string OK builds. Portable: the dialog passes texts.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "params/AnsiCodePage.h"
#include "params/Generic.h"
#include "vmserver/ServerChoice.h"

namespace brennow::dialogs {

// The texts of the four boxes OK reads, as the user left them, the server type chosen
// and the thumbprint of the certificate trusted for a vSphere server ("THUMB").
struct SettingsInput {
  std::wstring username;
  std::wstring password;
  std::wstring vmName;
  std::wstring vmState;
  vmserver::ServerKind kind = vmserver::ServerKind::Automation;
  std::wstring thumbprint{};
  // The vSphere check's own fields (CHK, DSN, ...), written after THUMB as they came.
  std::vector<CheckField> checkFields{};
};

// The vSphere check's own fields that `parameters` holds with a value, in their order.
std::vector<CheckField> checkFieldsOf(std::wstring_view parameters);

// "... (version 1.0 build  7)": major and minor without blanks, the revision with the
// leading blank of the number-to-text rule after the blank of " build ".
std::wstring settingsTitle(std::uint16_t major, std::uint16_t minor, std::uint16_t revision);

// Why OK must refuse the input, naming the field; nothing when it may be stored. A
// "#" would end a field of the parameter string early, and a password character
// without a single-byte code could not be decoded back to what was typed.
std::optional<std::wstring> refusalMessage(const SettingsInput &input,
                                           const AnsiCodePage &codePage);

// The parameter string OK stores: fields in their fixed order, the password encoded.
// For the automation component exactly the string hosts have always stored (no
// "THUMB"); for vSphere "VSTP=VSPHERE", a "THUMB" field (empty when none is trusted) and the
// check's own fields.
std::wstring settingsParameterString(const SettingsInput &input, const AnsiCodePage &codePage);

} // namespace brennow::dialogs
