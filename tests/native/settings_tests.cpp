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

struct StringCase {
  SettingsInput input;
  const wchar_t *written;
};

TEST(SettingsParameterString, WritesTheFieldsInTheirFixedOrderTrimmedWithThePasswordEncoded) {
  const StringCase cases[] = {
      {{L"", L"", L"", L""}, L"#VSTP=VMWARE#USR=#PWD=#VMN=#VMS=#"},
      {{L"  alice  ", L" secret ", L" vm 1 ", L"  stuck "},
       L"#VSTP=VMWARE#USR=alice#PWD=IHNlY3JldCA=#VMN=vm 1#VMS=stuck#"},
      {{L"bob", L"\u20AC", L"vm1", L"on"}, L"#VSTP=VMWARE#USR=bob#PWD=gA==#VMN=vm1#VMS=on#"},
  };
  for (const StringCase &c : cases)
    EXPECT_EQ(settingsParameterString(c.input, windows1252()), c.written);
}

// What OK accepts comes back from the written string as it was typed: the password
// exactly, the other fields trimmed.
TEST(SettingsParameterString, ReadsBackWhatOkAccepted) {
  const SettingsInput accepted[] = {
      {L"alice", L" p\u00E4ss w0rd ", L"web 01", L"suspended"},
      {L"  u  ", L"", L"", L"off"},
  };
  for (const SettingsInput &input : accepted) {
    ASSERT_FALSE(refusalMessage(input, windows1252()));
    const std::wstring written = settingsParameterString(input, windows1252());
    EXPECT_EQ(getParam(written, L"USR"), trimSpaces(input.username));
    EXPECT_EQ(base64Decode(getParam(written, L"PWD"), windows1252()), input.password);
    EXPECT_EQ(getParam(written, L"VMN"), trimSpaces(input.vmName));
    EXPECT_EQ(getParam(written, L"VMS"), trimSpaces(input.vmState));
  }
}

} // namespace
