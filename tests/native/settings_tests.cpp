// The settings dialog's rules without its window: the title, what OK refuses and the
// parameter string OK writes.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/text.h"
#include "dialogs/logic/settingsRules.h"
#include "params/AnsiCodePage.h"
#include "params/Generic.h"
#include "params/base64.h"

using namespace brennow;
using namespace brennow::dialogs;

namespace {

TEST(SettingsTitle, CarriesTheVersionWithTwoBlanksBeforeTheRevision) {
  EXPECT_EQ(settingsTitle(1, 0, 7),
            L"ZAzire Razoro/ROZ/IDU Veruzuz Ededevi Dodorav (version 1.0 build  7)");
  EXPECT_EQ(settingsTitle(12, 34, 5678),
            L"ZAzire Razoro/ROZ/IDU Veruzuz Ededevi Dodorav (version 12.34 build  5678)");
}

struct RuleCase {
  SettingsInput input;
  std::optional<std::wstring> refusal;
};

TEST(RefusalMessage, NamesTheFirstFieldTheParameterStringCannotCarry) {
  const RuleCase cases[] = {
      {{L"  alice ", L" p w ", L"vm 1", L"running"}, std::nullopt},
      {{L"", L"\u20AC\u00E4", L"", L""}, std::nullopt},
      {{L"a#", L"", L"", L""}, L"The user name must not contain \"#\"."},
      {{L"", L"\u263A", L"vm#", L""},
       L"The password must consist of characters of the system's ANSI code page."},
      {{L"", L"#", L"#vm", L""}, L"The virtual machine name must not contain \"#\"."},
      {{L"", L"", L"", L"#"}, L"The state must not contain \"#\"."},
  };
  for (const RuleCase &c : cases)
    EXPECT_EQ(refusalMessage(c.input, windows1252()), c.refusal)
        << testing::PrintToString(c.input.username + L"|" + c.input.password);
}

using vmserver::ServerKind;

constexpr wchar_t kThumbprint[] =
    L"448F628A8A65AA18560E53A80C53ACB38C51B427DF0334082349141147DC9BF6";

struct StringCase {
  SettingsInput input;
  std::wstring written;
};

TEST(SettingsParameterString, WritesTheFieldsInTheirFixedOrderTrimmedWithThePasswordEncoded) {
  const StringCase cases[] = {
      {{L"", L"", L"", L""}, L"#VSTP=VMWARE#USR=#PWD=#VMN=#VMS=#"},
      {{L"  alice  ", L" secret ", L" vm 1 ", L"  stuck "},
       L"#VSTP=VMWARE#USR=alice#PWD=IHNlY3JldCA=#VMN=vm 1#VMS=stuck#"},
      {{L"bob", L"\u20AC", L"vm1", L"on"}, L"#VSTP=VMWARE#USR=bob#PWD=gA==#VMN=vm1#VMS=on#"},
      // A thumbprint read with the automation component is not written back.
      {{L"bob", L"", L"vm1", L"on", ServerKind::Automation, kThumbprint},
       L"#VSTP=VMWARE#USR=bob#PWD=#VMN=vm1#VMS=on#"},
      {{L"", L"", L"", L"", ServerKind::VSphere, L""},
       L"#VSTP=VSPHERE#USR=#PWD=#VMN=#VMS=#THUMB=#"},
      {{L" root ", L" secret ", L" DC0_H0_VM0 ", L"off", ServerKind::VSphere, kThumbprint},
       L"#VSTP=VSPHERE#USR=root#PWD=IHNlY3JldCA=#VMN=DC0_H0_VM0#VMS=off#THUMB=" +
           std::wstring(kThumbprint) + L"#"},
  };
  for (const StringCase &c : cases)
    EXPECT_EQ(settingsParameterString(c.input, windows1252()), c.written);
}

// What OK accepts comes back from the written string as it was typed (the password
// exactly, the other fields trimmed), with the server type and thumbprint chosen.
TEST(SettingsParameterString, ReadsBackWhatOkAccepted) {
  const SettingsInput accepted[] = {
      {L"alice", L" p\u00E4ss w0rd ", L"web 01", L"suspended"},
      {L"  u  ", L"", L"", L"off"},
      {L"root", L"pw", L"vm", L"on", ServerKind::VSphere, kThumbprint},
      {L"root", L"pw", L"vm", L"on", ServerKind::VSphere, L""},
  };
  for (const SettingsInput &input : accepted) {
    ASSERT_FALSE(refusalMessage(input, windows1252()));
    const std::wstring written = settingsParameterString(input, windows1252());
    EXPECT_EQ(getParam(written, L"USR"), trimSpaces(input.username));
    EXPECT_EQ(base64Decode(getParam(written, L"PWD"), windows1252()), input.password);
    EXPECT_EQ(getParam(written, L"VMN"), trimSpaces(input.vmName));
    EXPECT_EQ(getParam(written, L"VMS"), trimSpaces(input.vmState));
    const vmserver::ServerChoice choice = vmserver::serverChoiceOf(written, L"");
    EXPECT_EQ(choice.kind, input.kind);
    EXPECT_EQ(choice.thumbprint, input.thumbprint);
  }
}

} // namespace
