// The settings dialog's rules without its window: the title, what OK refuses and the
// parameter string OK writes, the vSphere check rows and what they keep.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <variant>

#include "common/text.h"
#include "common/utf8.h"
#include "dialogs/logic/checkForm.h"
#include "dialogs/logic/settingsRules.h"
#include "params/Keys.h"
#include "params/VSphereChecks.h"
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

// ---- the vSphere check rows

// The entries of the check list, in the order of the checks.
enum Entry : std::size_t { MachineState, Guest, Datastore, Snapshot, Host, Alarm, Unknown };

// The dialog's boxes filled from `parameters` as qm_showGUI fills them.
CheckForm formOf(const std::wstring &parameters) {
  return CheckForm(parameters, getParam(parameters, L"VMN"), getParam(parameters, L"VMS"));
}

// OK's string for a vSphere server after the user chose `entry` (if any) and typed `typed`.
std::wstring okString(CheckForm &form, std::optional<Entry> entry = {},
                      const std::map<std::wstring_view, std::wstring> &typed = {}) {
  if (entry)
    form.choose(*entry);
  for (const auto &[key, text] : typed)
    form.setText(key, text);
  CheckOutput output = form.output();
  const SettingsInput input{
      L"u", L"", output.vmName, output.vmState, ServerKind::VSphere, L"", output.checkFields};
  return settingsParameterString(input, windows1252());
}

TEST(CheckForm, ListsEveryCheckAndAnUnknownOneAsRead) {
  const std::vector<std::wstring> titles = {L"Machine state", L"Guest alive", L"Datastore space",
                                            L"Snapshot age",  L"Host state",  L"Triggered alarms"};
  EXPECT_EQ(CheckForm().entries(), titles);
  EXPECT_EQ(CheckForm().chosen(), MachineState);
  EXPECT_EQ(formOf(L"#CHK= snapshot #").chosen(), Snapshot);
  const CheckForm unknown = formOf(L"#CHK= Speed #");
  std::vector<std::wstring> withUnknown = titles;
  withUnknown.push_back(L"CHK=Speed (kept as it is)");
  EXPECT_EQ(unknown.entries(), withUnknown);
  EXPECT_EQ(unknown.chosen(), Unknown);
}

TEST(CheckForm, RowsShowWhatEachCheckNamesAndComparesWith) {
  struct Case {
    Entry entry;
    ServerKind kind;
    CheckRows rows;
  };
  const CheckRows machine{
      L"VMN", L"Virtual machine:", ListedObjects::Machines, Comparison::State, L"VMS", L"must be ",
      L""};
  const Case cases[] = {
      {MachineState, ServerKind::VSphere, machine},
      {Guest,
       ServerKind::VSphere,
       {L"VMN", L"Virtual machine:", ListedObjects::Machines, Comparison::None, L"", L"", L""}},
      {Datastore,
       ServerKind::VSphere,
       {L"DSN", L"Datastore:", ListedObjects::Datastores, Comparison::Threshold, L"MINFREE",
        L"at least ", L"% free"}},
      {Snapshot,
       ServerKind::VSphere,
       {L"VMN", L"Virtual machine:", ListedObjects::Machines, Comparison::Threshold, L"MAXAGE",
        L"at most ", L"days old"}},
      {Host,
       ServerKind::VSphere,
       {L"HSN", L"Host:", ListedObjects::Hosts, Comparison::None, L"", L"", L""}},
      {Alarm,
       ServerKind::VSphere,
       {L"", L"", ListedObjects::Machines, Comparison::AlarmLevel, L"ALS", L"fails at ", L""}},
      {Unknown, ServerKind::VSphere, {}},
      // The automation component knows the machine state only, whatever check is chosen.
      {Datastore, ServerKind::Automation, machine},
      {Unknown, ServerKind::Automation, machine},
  };
  for (const Case &c : cases) {
    CheckForm form = formOf(L"#CHK=speed#");
    form.choose(c.entry);
    EXPECT_EQ(form.rows(c.kind), c.rows) << c.entry;
  }
}

TEST(CheckForm, BoxesStartAtTheValuesReadOrTheChecksDefaults) {
  const std::pair<const wchar_t *, std::map<std::wstring_view, std::wstring>> cases[] = {
      {L"", {{L"MINFREE", L"10"}, {L"MAXAGE", L"7"}, {L"ALS", L"red"}, {L"DSN", L""}}},
      {L"#MINFREE= #MAXAGE=30#ALS=Yellow#DSN= ds 1 #HSN=esx#VMN=vm#VMS=off#",
       {{L"MINFREE", L"10"},
        {L"MAXAGE", L"30"},
        {L"ALS", L"Yellow"},
        {L"DSN", L" ds 1 "},
        {L"HSN", L"esx"},
        {L"VMN", L"vm"},
        {L"VMS", L"off"}}},
      {L"#MINFREE=abc#", {{L"MINFREE", L"abc"}}},
  };
  for (const auto &[parameters, texts] : cases) {
    const CheckForm form = formOf(parameters);
    for (const auto &[key, text] : texts)
      EXPECT_EQ(form.text(key), text) << toUtf8(parameters) << " " << toUtf8(key);
  }
}

using Typed = std::map<std::wstring_view, std::wstring>;

struct WriteCase {
  const char *name;
  const wchar_t *read;
  std::vector<Entry> chosen; // in order, before typing
  Typed typed;
  const wchar_t *written;
};

#define ACCOUNT L"#VSTP=VSPHERE#USR=u#PWD=#"
const WriteCase kWriteCases[] = {
    {"MachineStateIsTodaysString",
     ACCOUNT L"VMN=web01#VMS=on#THUMB=#",
     {},
     {},
     ACCOUNT L"VMN=web01#VMS=on#THUMB=#"},
    {"NewGuest", L"", {Guest}, {{L"VMN", L" web01 "}}, ACCOUNT L"VMN=web01#VMS=#THUMB=#CHK=GUEST#"},
    {"NewDatastoreWithThreshold",
     L"",
     {Datastore},
     {{L"DSN", L" ds1 "}, {L"MINFREE", L" 15 "}},
     ACCOUNT L"VMN=#VMS=#THUMB=#CHK=DATASTORE#DSN=ds1#MINFREE=15#"},
    {"NewDatastoreEveryOneByDefault",
     L"",
     {Datastore},
     {},
     ACCOUNT L"VMN=#VMS=#THUMB=#CHK=DATASTORE#DSN=#MINFREE=10#"},
    {"NewSnapshot",
     L"",
     {Snapshot},
     {{L"VMN", L"db"}, {L"MAXAGE", L"14"}},
     ACCOUNT L"VMN=db#VMS=#THUMB=#CHK=SNAPSHOT#MAXAGE=14#"},
    {"NewHost", L"", {Host}, {{L"HSN", L"esx01"}}, ACCOUNT L"VMN=#VMS=#THUMB=#CHK=HOST#HSN=esx01#"},
    {"NewAlarm",
     L"",
     {Alarm},
     {{L"ALS", L"yellow"}},
     ACCOUNT L"VMN=#VMS=#THUMB=#CHK=ALARM#ALS=yellow#"},
    {"ReadCheckWrittenInItsForm",
     ACCOUNT L"VMN=#VMS=#THUMB=#CHK= datastore #DSN= ds1 #MINFREE=#",
     {},
     {},
     ACCOUNT L"VMN=#VMS=#THUMB=#CHK=DATASTORE#DSN=ds1#MINFREE=10#"},
    // A string the dialog cannot show keeps its keys while its check stays chosen.
    {"UnknownCheckKeepsItsFields",
     ACCOUNT L"VMN=vm#VMS=on#THUMB=#CHK=Speed#DSN=x#MAXAGE=0#",
     {},
     {},
     ACCOUNT L"VMN=vm#VMS=on#THUMB=#CHK=Speed#DSN=x#MAXAGE=0#"},
    {"KeysOfAnotherCheckKept",
     ACCOUNT L"VMN=vm#VMS=on#THUMB=#CHK=HOST#HSN=esx1#MINFREE=20#",
     {},
     {},
     ACCOUNT L"VMN=vm#VMS=on#THUMB=#CHK=HOST#MINFREE=20#HSN=esx1#"},
    {"MachineStateKeepsStrayKeys",
     ACCOUNT L"VMN=vm#VMS=on#THUMB=#DSN=ds1#",
     {},
     {},
     ACCOUNT L"VMN=vm#VMS=on#THUMB=#DSN=ds1#"},
    {"BackToTheCheckReadKeepsItsKeys",
     ACCOUNT L"VMN=vm#VMS=on#THUMB=#CHK=HOST#HSN=esx1#MINFREE=20#",
     {Datastore, Host},
     {},
     ACCOUNT L"VMN=vm#VMS=on#THUMB=#CHK=HOST#MINFREE=20#HSN=esx1#"},
    // A check chosen anew writes its own keys alone.
    {"AnotherCheckDropsTheOldOnesKeys",
     ACCOUNT L"VMN=vm#VMS=on#THUMB=#CHK=DATASTORE#DSN=ds1#MINFREE=20#MAXAGE=3#",
     {Host},
     {{L"HSN", L"esx1"}},
     ACCOUNT L"VMN=#VMS=#THUMB=#CHK=HOST#HSN=esx1#"},
    {"UnknownCheckLeftForMachineState",
     ACCOUNT L"VMN=vm#VMS=on#THUMB=#CHK=Speed#DSN=x#",
     {MachineState},
     {},
     ACCOUNT L"VMN=vm#VMS=on#THUMB=#"},
    {"TextsSurviveSwitching",
     ACCOUNT L"VMN=vm#VMS=off#THUMB=#",
     {Datastore, MachineState},
     {},
     ACCOUNT L"VMN=vm#VMS=off#THUMB=#"},
};
#undef ACCOUNT

class CheckFormWrites : public ::testing::TestWithParam<WriteCase> {};

TEST_P(CheckFormWrites, TheChosenChecksKeysAfterThumb) {
  const WriteCase &c = GetParam();
  CheckForm form = formOf(c.read);
  for (Entry entry : c.chosen)
    form.choose(entry);
  EXPECT_EQ(okString(form, std::nullopt, c.typed), c.written);
}

INSTANTIATE_TEST_SUITE_P(Cases, CheckFormWrites, ::testing::ValuesIn(kWriteCases),
                         [](const auto &info) { return std::string(info.param.name); });

// OK refuses exactly what the check would refuse of the chosen check's fields, in the
// dialog's words; what it accepts, the check reads.
TEST(CheckForm, RefusesWhatTheCheckRefuses) {
  struct Case {
    Entry entry;
    std::wstring_view key;
    std::vector<std::wstring> texts;
    const wchar_t *refusal;
  };
  const Case cases[] = {
      {Datastore,
       L"MINFREE",
       {L"", L" 9 ", L"0", L"100", L"101", L"-1", L"9.5", L"ten", L"1#"},
       L"The free space must be a whole number from 0 to 100."},
      {Snapshot,
       L"MAXAGE",
       {L"1", L"3650", L"0", L"3651", L"99999999999", L" 7"},
       L"The snapshot age must be a whole number from 1 to 3650."},
      {Alarm,
       L"ALS",
       {L"red", L" YELLOW ", L"", L"blue", L"redd"},
       L"The alarm status must be red or yellow."},
      {Guest,
       L"VMN",
       {L"web01", L"", L"  "},
       L"The Guest alive check needs the name of a virtual machine."},
  };
  for (const Case &c : cases) {
    for (const std::wstring &text : c.texts) {
      CheckForm form;
      const std::wstring written = okString(form, c.entry, {{c.key, text}});
      const auto read = readCheckSettings(written);
      const bool checkRefuses =
          std::holds_alternative<std::wstring>(read) || text.find(L'#') != std::wstring::npos;
      const auto refusal = form.refusal();
      EXPECT_EQ(refusal.has_value(), checkRefuses) << toUtf8(c.key) << "=" << toUtf8(text);
      if (refusal) {
        EXPECT_EQ(*refusal, c.refusal);
      }
    }
  }
}

TEST(CheckForm, ANameWithTheFieldSeparatorIsRefusedByTheObjectsName) {
  const std::pair<Entry, const wchar_t *> cases[] = {
      {Datastore, L"The datastore name must not contain \"#\"."},
      {Host, L"The host name must not contain \"#\"."},
      {Snapshot, L"The virtual machine name must not contain \"#\"."},
  };
  for (const auto &[entry, message] : cases) {
    CheckForm form;
    form.choose(entry);
    form.setText(form.rows(ServerKind::VSphere).objectKey, L"a#b");
    EXPECT_EQ(form.refusal(), std::optional<std::wstring>(message));
  }
  CheckForm unknown = formOf(L"#CHK=speed#MINFREE=abc#");
  EXPECT_EQ(unknown.refusal(), std::nullopt) << "fields kept as read are not judged";
}

} // namespace
