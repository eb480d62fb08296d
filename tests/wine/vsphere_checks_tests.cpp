// The vSphere checks beyond the machine state (CHK) end to end: brennow.vmwarecom driven as a
// host drives it against the simulators of vsphere_tests.cpp (CHECKS holds a preset of every
// check's cases; PAGED, ESX and VC add servers where nothing or little fails), and the runner
// brennow-check started as its own process against them. Every check's True and False with
// its message, thresholds at their edges, refused keys (judged before anything is sent),
// objects that are not there, names as vSphere escapes them, listings over several pages, and
// after every case no session left on the simulator.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/wine/RunnerProcess.h"
#include "tests/wine/vsphere/VSphereFixture.h"

using namespace vspheretest;
using wintest::errorReport;
using wintest::expectOutcome;
using wintest::toUtf8;

namespace {

// The string the settings dialog writes for a vSphere check: the account and VMN (for the
// checks that name a machine) before THUMB, the check's own keys after it.
std::wstring checkParameters(const std::wstring &vm, const std::wstring &checkFields) {
  return vsphereParameters(vm, L"") + checkFields;
}

// What a check refuses, it refuses at the statement that reads its keys.
std::wstring refused(const std::wstring &description) { return errorReport(description, 700); }

// ---------------------------------------------------------------- the outcome table

struct CheckCase {
  const char *name;
  const wchar_t *simulator;
  const wchar_t *vm;     // VMN
  const wchar_t *fields; // after THUMB
  bool answer;
  const wchar_t *message;
};

const CheckCase checkCases[] = {
    // GUEST
    {"GuestAlive", L"CHECKS", L"DC0_H0_VM0", L"CHK=GUEST#", true,
     L"Virtual machine (DC0_H0_VM0) is on, its guest is alive: VMware Tools running, heartbeat "
     L"green"},
    {"GuestCheckInAnyLetterCase", L"CHECKS", L"DC0_H0_VM0", L"chk=Guest#", true,
     L"Virtual machine (DC0_H0_VM0) is on, its guest is alive: VMware Tools running, heartbeat "
     L"green"},
    {"GuestOff", L"CHECKS", L"DC0_H0_VM1", L"CHK=GUEST#", false,
     L"Virtual machine (DC0_H0_VM1) is off, its guest is not alive"},
    {"GuestSuspended", L"CHECKS", L"DC0_H0_VM2", L"CHK=GUEST#", false,
     L"Virtual machine (DC0_H0_VM2) is suspended, its guest is not alive"},
    {"GuestToolsNotRunning", L"CHECKS", L"DC0_H0_VM3", L"CHK=GUEST#", false,
     L"Virtual machine (DC0_H0_VM3) is on, its guest is not alive: VMware Tools not running"},
    {"GuestToolsExecutingScripts", L"CHECKS", L"DC0_H0_VM4", L"CHK=GUEST#", false,
     L"Virtual machine (DC0_H0_VM4) is on, its guest is not alive: VMware Tools executing "
     L"scripts"},
    {"GuestHeartbeatRed", L"CHECKS", L"DC0_H0_VM5", L"CHK=GUEST#", false,
     L"Virtual machine (DC0_H0_VM5) is on, its guest is not alive: heartbeat red"},
    {"GuestHeartbeatYellow", L"CHECKS", L"DC0_H0_VM6", L"CHK=GUEST#", false,
     L"Virtual machine (DC0_H0_VM6) is on, its guest is not alive: heartbeat yellow"},
    // On the last page, named as typed; the escaped form is no machine's name.
    {"GuestNamedAsTyped", L"CHECKS", L"web/10", L"CHK=GUEST#", true,
     L"Virtual machine (web/10) is on, its guest is alive: VMware Tools running, heartbeat green"},
    {"GuestEscapedNameIsNoName", L"CHECKS", L"web%2f10", L"CHK=GUEST#", false,
     L"Can't get the state of this (web%2f10) virtual machine, it's not listed as a known one"},
    {"GuestNameLetterCaseMatters", L"CHECKS", L"dc0_h0_vm0", L"CHK=GUEST#", false,
     L"Can't get the state of this (dc0_h0_vm0) virtual machine, it's not listed as a known one"},
    {"GuestUnknown", L"CHECKS", L"ghost", L"CHK=GUEST#", false,
     L"Can't get the state of this (ghost) virtual machine, it's not listed as a known one"},
    {"GuestSeventhPage", L"PAGED", L"DC0_H0_VM24", L"CHK=GUEST#", false,
     L"Virtual machine (DC0_H0_VM24) is off, its guest is not alive"},

    // DATASTORE
    {"DatastoreNamed", L"CHECKS", L"", L"CHK=DATASTORE#DSN=ds1#", true,
     L"Datastore (ds1) has 42 % free, at least 10 %"},
    {"DatastoreAtTheThreshold", L"CHECKS", L"", L"CHK=DATASTORE#DSN=ds1#MINFREE=42#", true,
     L"Datastore (ds1) has 42 % free, at least 42 %"},
    {"DatastoreBelowTheThreshold", L"CHECKS", L"", L"CHK=DATASTORE#DSN=ds1#MINFREE=43#", false,
     L"Datastore (ds1) has 42 % free, less than 43 %"},
    {"DatastoreExactlyTheDefault", L"CHECKS", L"", L"CHK=DATASTORE#DSN=ds6#", true,
     L"Datastore (ds6) has 10 % free, at least 10 %"},
    {"DatastoreEmptyThresholdIsTheDefault", L"CHECKS", L"", L"CHK=DATASTORE#DSN=ds5#MINFREE=#",
     false, L"Datastore (ds5) has 9 % free, less than 10 %"},
    {"DatastoreAFractionBelow", L"CHECKS", L"", L"CHK=DATASTORE#DSN=ds5#", false,
     L"Datastore (ds5) has 9 % free, less than 10 %"},
    {"DatastoreAFractionAbove", L"CHECKS", L"", L"CHK=DATASTORE#DSN=ds5#MINFREE= 9 #", true,
     L"Datastore (ds5) has 9 % free, at least 9 %"},
    {"DatastoreNeverFull", L"CHECKS", L"", L"CHK=DATASTORE#DSN=ds5#MINFREE=100#", false,
     L"Datastore (ds5) has 9 % free, less than 100 %"},
    {"DatastoreNoThreshold", L"CHECKS", L"", L"CHK=DATASTORE#DSN=ds6#MINFREE=0#", true,
     L"Datastore (ds6) has 10 % free, at least 0 %"},
    {"DatastoreInaccessible", L"CHECKS", L"", L"CHK=DATASTORE#DSN=ds4#MINFREE=0#", false,
     L"Datastore (ds4) is not accessible"},
    {"DatastoreEveryOneWorstFirst", L"CHECKS", L"", L"CHK=DATASTORE#", false,
     L"Datastore (ds4) is not accessible; 2 other datastores fail too"},
    {"DatastoreEveryOneWithoutThreshold", L"CHECKS", L"", L"CHK=DATASTORE#MINFREE=0#", false,
     L"Datastore (ds4) is not accessible"},
    {"DatastoreNamedAsTyped", L"CHECKS", L"", L"CHK=DATASTORE#DSN=nfs/archive#", true,
     L"Datastore (nfs/archive) has 50 % free, at least 10 %"},
    {"DatastoreEscapedNameIsNoName", L"CHECKS", L"", L"CHK=DATASTORE#DSN=nfs%2farchive#", false,
     L"Can't get the free space of this (nfs%2farchive) datastore, it's not listed as a known "
     L"one"},
    {"DatastoreUnknown", L"CHECKS", L"", L"CHK=DATASTORE#DSN=ds9#", false,
     L"Can't get the free space of this (ds9) datastore, it's not listed as a known one"},
    {"DatastoreAllAtLeastTheDefault", L"PAGED", L"", L"CHK=DATASTORE#", true,
     L"All 3 datastore(s) have at least 10 % free; the least free (san/01) has 25 %"},
    {"DatastoreAllAtTheThreshold", L"PAGED", L"", L"CHK=DATASTORE#MINFREE=25#", true,
     L"All 3 datastore(s) have at least 25 % free; the least free (san/01) has 25 %"},
    {"DatastoreOneBelowTheThreshold", L"PAGED", L"", L"CHK=DATASTORE#MINFREE=26#", false,
     L"Datastore (san/01) has 25 % free, less than 26 %"},
    {"DatastoreTwoBelowTheThreshold", L"PAGED", L"", L"CHK=DATASTORE#MINFREE=31#", false,
     L"Datastore (san/01) has 25 % free, less than 31 %; 1 other datastore below it"},

    // SNAPSHOT
    {"SnapshotEveryMachineTheOldestFirst", L"CHECKS", L"", L"CHK=SNAPSHOT#", false,
     L"Virtual machine (DC0_H0_VM7) has a snapshot (base) 20 day(s) old, older than 7; 1 other "
     L"snapshot older too"},
    {"SnapshotEveryMachineChildrenCounted", L"CHECKS", L"", L"CHK=SNAPSHOT#MAXAGE=2#", false,
     L"Virtual machine (DC0_H0_VM7) has a snapshot (base) 20 day(s) old, older than 2; 3 other "
     L"snapshots older too"},
    {"SnapshotEveryMachineAtTheOldest", L"CHECKS", L"", L"CHK=SNAPSHOT#MAXAGE=20#", true,
     L"No snapshot older than 20 day(s) on 11 virtual machine(s)"},
    {"SnapshotNoneAnywhere", L"CHECKS", L"", L"CHK=SNAPSHOT#MAXAGE=3650#", true,
     L"No snapshot older than 3650 day(s) on 11 virtual machine(s)"},
    {"SnapshotNamed", L"CHECKS", L"DC0_H0_VM8", L"CHK=SNAPSHOT#", true,
     L"Virtual machine (DC0_H0_VM8) has no snapshot older than 7 day(s)"},
    {"SnapshotWholeDays", L"CHECKS", L"DC0_H0_VM9", L"CHK=SNAPSHOT#MAXAGE=7#", true,
     L"Virtual machine (DC0_H0_VM9) has no snapshot older than 7 day(s)"},
    {"SnapshotADayPastTheLimit", L"CHECKS", L"DC0_H0_VM9", L"CHK=SNAPSHOT#MAXAGE=6#", false,
     L"Virtual machine (DC0_H0_VM9) has a snapshot (almost) 7 day(s) old, older than 6"},
    {"SnapshotAtTheLimit", L"CHECKS", L"DC0_H0_VM7", L"CHK=SNAPSHOT#MAXAGE=20#", true,
     L"Virtual machine (DC0_H0_VM7) has no snapshot older than 20 day(s)"},
    {"SnapshotTheRootAlone", L"CHECKS", L"DC0_H0_VM7", L"CHK=SNAPSHOT#MAXAGE=12#", false,
     L"Virtual machine (DC0_H0_VM7) has a snapshot (base) 20 day(s) old, older than 12"},
    {"SnapshotTheChildToo", L"CHECKS", L"DC0_H0_VM7", L"CHK=SNAPSHOT#MAXAGE=11#", false,
     L"Virtual machine (DC0_H0_VM7) has a snapshot (base) 20 day(s) old, older than 11; 1 other "
     L"snapshot older too"},
    {"SnapshotNone", L"CHECKS", L"DC0_H0_VM0", L"CHK=SNAPSHOT#MAXAGE=1#", true,
     L"Virtual machine (DC0_H0_VM0) has no snapshot older than 1 day(s)"},
    {"SnapshotNamedAsTyped", L"CHECKS", L"web/10", L"CHK=SNAPSHOT#MAXAGE=2#", false,
     L"Virtual machine (web/10) has a snapshot (weekly) 3 day(s) old, older than 2"},
    {"SnapshotUnknown", L"CHECKS", L"ghost", L"CHK=SNAPSHOT#", false,
     L"Can't get the snapshots of this (ghost) virtual machine, it's not listed as a known one"},
    {"SnapshotEveryPage", L"PAGED", L"", L"CHK=SNAPSHOT#", true,
     L"No snapshot older than 7 day(s) on 25 virtual machine(s)"},
    {"SnapshotEveryPageTooOld", L"PAGED", L"", L"CHK=SNAPSHOT#MAXAGE=1#", false,
     L"Virtual machine (DC0_H0_VM0) has a snapshot (snap-1) 2 day(s) old, older than 1; 24 other "
     L"snapshots older too"},
    {"SnapshotLastPage", L"PAGED", L"DC0_H0_VM24", L"CHK=SNAPSHOT#MAXAGE=1#", false,
     L"Virtual machine (DC0_H0_VM24) has a snapshot (snap-1) 2 day(s) old, older than 1"},
    {"SnapshotLibraryXml", L"ESX", L"", L"CHK=SNAPSHOT#", true,
     L"No snapshot older than 7 day(s) on 3 virtual machine(s)"},

    // HOST
    {"HostEveryOneTheWorstFirst", L"CHECKS", L"", L"CHK=HOST#", false,
     L"Host (DC0_H1) is disconnected; 3 other hosts fail too"},
    {"HostNamed", L"CHECKS", L"", L"CHK=HOST#HSN=DC0_H0#", true,
     L"Host (DC0_H0) is connected, not in maintenance mode, its status green"},
    {"HostYellowIsNoFailure", L"CHECKS", L"", L"CHK=HOST#HSN=DC0_H4#", true,
     L"Host (DC0_H4) is connected, not in maintenance mode, its status yellow"},
    {"HostDisconnected", L"CHECKS", L"", L"CHK=HOST#HSN=DC0_H1#", false,
     L"Host (DC0_H1) is disconnected"},
    {"HostInMaintenance", L"CHECKS", L"", L"CHK=HOST#HSN=DC0_H2#", false,
     L"Host (DC0_H2) is in maintenance mode"},
    {"HostRed", L"CHECKS", L"", L"CHK=HOST#HSN=DC0_H3#", false,
     L"Host (DC0_H3) has the overall status red"},
    {"HostNotResponding", L"CHECKS", L"", L"CHK=HOST#HSN=DC0_H5#", false,
     L"Host (DC0_H5) is not responding"},
    {"HostNamedAsTyped", L"CHECKS", L"", L"CHK=HOST#HSN=esx/06#", true,
     L"Host (esx/06) is connected, not in maintenance mode, its status green"},
    {"HostEscapedNameIsNoName", L"CHECKS", L"", L"CHK=HOST#HSN=esx%2f06#", false,
     L"Can't get the state of this (esx%2f06) host, it's not listed as a known one"},
    {"HostUnknown", L"CHECKS", L"", L"CHK=HOST#HSN=esx99#", false,
     L"Can't get the state of this (esx99) host, it's not listed as a known one"},
    {"HostAllHealthy", L"PAGED", L"", L"CHK=HOST#", true,
     L"All 3 host(s) connected, none in maintenance mode or red"},
    {"HostLibraryXml", L"ESX", L"", L"CHK=HOST#", true,
     L"Host (localhost.localdomain) is connected, not in maintenance mode, its status green"},

    // ALARM
    {"AlarmRedByDefault", L"CHECKS", L"", L"CHK=ALARM#", false,
     L"Alarm (Host connection and power state) is red on host (DC0_H1); 1 other alarm is red "
     L"too"},
    {"AlarmRed", L"CHECKS", L"", L"CHK=ALARM#ALS=red#", false,
     L"Alarm (Host connection and power state) is red on host (DC0_H1); 1 other alarm is red "
     L"too"},
    {"AlarmYellowOrWorse", L"CHECKS", L"", L"CHK=ALARM#ALS=yellow#", false,
     L"Alarm (Host connection and power state) is red on host (DC0_H1); 3 other alarms are "
     L"yellow or red too"},
    {"AlarmLevelInAnyLetterCase", L"CHECKS", L"", L"CHK=ALARM#ALS= YELLOW #", false,
     L"Alarm (Host connection and power state) is red on host (DC0_H1); 3 other alarms are "
     L"yellow or red too"},
    {"AlarmNoRed", L"PAGED", L"", L"CHK=ALARM#", true, L"No triggered alarm is red"},
    {"AlarmYellowAlone", L"PAGED", L"", L"CHK=ALARM#ALS=yellow#", false,
     L"Alarm (Datastore usage on disk) is yellow on datastore (san/01); 1 other alarm is yellow "
     L"or red too"},
    {"AlarmNone", L"VC", L"", L"CHK=ALARM#ALS=yellow#", true,
     L"No triggered alarm is yellow or red"},
    {"AlarmLibraryXml", L"ESX", L"", L"CHK=ALARM#", false,
     L"Alarm (Virtual machine CPU usage) is red on virtual machine (ha-host_VM1)"},
};

class VSphereCheckTest : public VSphereTest, public testing::WithParamInterface<CheckCase> {};

TEST_P(VSphereCheckTest, AnswerAndMessage) {
  const CheckCase &c = GetParam();
  const std::wstring simulator = url(c.simulator);
  expectOutcome(check(simulator, checkParameters(c.vm, c.fields)), c.answer, c.message);
}

INSTANTIATE_TEST_SUITE_P(Table, VSphereCheckTest, testing::ValuesIn(checkCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- refused keys

struct RefusalCase {
  const char *name;
  const wchar_t *vm;
  const wchar_t *fields;
  const wchar_t *description;
};

const RefusalCase refusalCases[] = {
    {"UnknownCheck", L"", L"CHK=SPEED#",
     L"CHK must be one of GUEST, DATASTORE, SNAPSHOT, HOST, ALARM, or empty (it is \"SPEED\")"},
    {"GuestWithoutMachine", L"", L"CHK=GUEST#",
     L"VMN must name the virtual machine the GUEST check looks at"},
    {"GuestWithBlankMachine", L"  ", L"CHK=GUEST#",
     L"VMN must name the virtual machine the GUEST check looks at"},
    {"MinFreeAbove100", L"", L"CHK=DATASTORE#MINFREE=101#",
     L"MINFREE must be a whole number from 0 to 100 (it is \"101\")"},
    {"MinFreeNegative", L"", L"CHK=DATASTORE#MINFREE=-1#",
     L"MINFREE must be a whole number from 0 to 100 (it is \"-1\")"},
    {"MinFreeFraction", L"", L"CHK=DATASTORE#DSN=ds5#MINFREE=9.5#",
     L"MINFREE must be a whole number from 0 to 100 (it is \"9.5\")"},
    {"MinFreeWord", L"", L"CHK=DATASTORE#MINFREE=ten#",
     L"MINFREE must be a whole number from 0 to 100 (it is \"ten\")"},
    {"MaxAgeZero", L"", L"CHK=SNAPSHOT#MAXAGE=0#",
     L"MAXAGE must be a whole number from 1 to 3650 (it is \"0\")"},
    {"MaxAgeAboveTenYears", L"DC0_H0_VM7", L"CHK=SNAPSHOT#MAXAGE=3651#",
     L"MAXAGE must be a whole number from 1 to 3650 (it is \"3651\")"},
    {"MaxAgeBeyondAnyNumber", L"", L"CHK=SNAPSHOT#MAXAGE=99999999999#",
     L"MAXAGE must be a whole number from 1 to 3650 (it is \"99999999999\")"},
    {"MaxAgeWithUnit", L"", L"CHK=SNAPSHOT#MAXAGE=7d#",
     L"MAXAGE must be a whole number from 1 to 3650 (it is \"7d\")"},
    {"AlarmLevelBlue", L"", L"CHK=ALARM#ALS=blue#", L"ALS must be red or yellow (it is \"blue\")"},
    {"AlarmLevelGreen", L"", L"CHK=ALARM#ALS=green#",
     L"ALS must be red or yellow (it is \"green\")"},
};

class VSphereRefusalTest : public VSphereTest, public testing::WithParamInterface<RefusalCase> {};

// Refused before anything goes to the server: not even the service content is asked for.
TEST_P(VSphereRefusalTest, NothingIsSent) {
  const RefusalCase &c = GetParam();
  const std::wstring simulator = url(L"CHECKS");
  const std::optional<int> before = requestsReceived(simulator);
  ASSERT_TRUE(before);
  expectOutcome(check(simulator, checkParameters(c.vm, c.fields)), false, refused(c.description));
  EXPECT_EQ(requestsReceived(simulator), before);
}

INSTANTIATE_TEST_SUITE_P(Keys, VSphereRefusalTest, testing::ValuesIn(refusalCases),
                         [](const auto &info) { return std::string(info.param.name); });

// The count the refusals rely on sees every exchange: a listing of seven datastores, four a
// page, is the service content, the login, the view, two pages, the view's end and the logout.
TEST_F(VSphereTest, RequestCountSeesEveryExchangeOfAPagedListing) {
  const std::wstring simulator = url(L"CHECKS");
  const std::optional<int> before = requestsReceived(simulator);
  ASSERT_TRUE(before);
  expectOutcome(check(simulator, checkParameters(L"", L"CHK=DATASTORE#DSN=nfs/archive#")), true,
                L"Datastore (nfs/archive) has 50 % free, at least 10 %");
  EXPECT_EQ(requestsReceived(simulator), std::optional<int>(*before + 7));
}

// ---------------------------------------------------------------- the machine state stays

struct MachineStateCase {
  const char *name;
  const wchar_t *vm;
  const wchar_t *state;
  const wchar_t *fields; // after THUMB
  const wchar_t *message;
};

const MachineStateCase machineStateCases[] = {
    {"WithoutCheck", L"DC0_H0_VM1", L"off", L"", L"Virtual machine (DC0_H0_VM1) is off"},
    {"EmptyCheck", L"DC0_H0_VM2", L"suspended", L"CHK=#",
     L"Virtual machine (DC0_H0_VM2) is suspended"},
    {"BlankCheckWithOtherKeys", L"DC0_H0_VM0", L"on", L"CHK=  #DSN=ds1#MINFREE=101#",
     L"Virtual machine (DC0_H0_VM0) is on"},
    {"CountWithEmptyCheck", L"", L"", L"CHK=#", L"11 registered virtual machine(s) on this server"},
    {"NamedAsTyped", L"web/10", L"on", L"CHK=#", L"Virtual machine (web/10) is on"},
};

class VSphereMachineStateTest : public VSphereTest,
                                public testing::WithParamInterface<MachineStateCase> {};

TEST_P(VSphereMachineStateTest, AsBefore) {
  const MachineStateCase &c = GetParam();
  const std::wstring simulator = url(L"CHECKS");
  expectOutcome(check(simulator, vsphereParameters(c.vm, c.state) + c.fields), true, c.message);
}

INSTANTIATE_TEST_SUITE_P(Strings, VSphereMachineStateTest, testing::ValuesIn(machineStateCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- the runner

struct RunnerCase {
  const char *name;
  const wchar_t *simulator;
  bool vsphere; // --server-type vsphere and --thumbprint
  std::vector<std::wstring> options;
  DWORD exitCode;
  const wchar_t *message;    // nullptr: the usage on the error stream
  bool sendsNothing = false; // so do all that exit with 64
};

// One process a kind, True and False among them, and what the runner and the component refuse.
const RunnerCase runnerCases[] = {
    {"GuestTrue",
     L"CHECKS",
     true,
     {L"--check", L"guest", L"--vm", L"DC0_H0_VM0"},
     0,
     L"Virtual machine (DC0_H0_VM0) is on, its guest is alive: VMware Tools running, heartbeat "
     L"green"},
    {"DatastoreFalse",
     L"CHECKS",
     true,
     {L"--check", L"datastore", L"--datastore", L"ds1", L"--min-free", L"43"},
     2,
     L"Datastore (ds1) has 42 % free, less than 43 %"},
    {"SnapshotTrue",
     L"CHECKS",
     true,
     {L"--check", L"snapshot", L"--vm", L"web/10", L"--max-age", L"3"},
     0,
     L"Virtual machine (web/10) has no snapshot older than 3 day(s)"},
    {"HostFalse",
     L"CHECKS",
     true,
     {L"--check", L"host"},
     2,
     L"Host (DC0_H1) is disconnected; 3 other hosts fail too"},
    {"HostNamedTrue",
     L"CHECKS",
     true,
     {L"--check", L"host", L"--host-system", L"DC0_H0"},
     0,
     L"Host (DC0_H0) is connected, not in maintenance mode, its status green"},
    {"AlarmFalse",
     L"PAGED",
     true,
     {L"--check", L"alarm", L"--alarm-status", L"yellow"},
     2,
     L"Alarm (Datastore usage on disk) is yellow on datastore (san/01); 1 other alarm is yellow "
     L"or red too"},
    // The runner passes a threshold on; the component refuses it, before sending anything.
    {"ThresholdRefusedByTheCheck",
     L"CHECKS",
     true,
     {L"--check", L"snapshot", L"--max-age", L"0"},
     2,
     L"ERR: MAXAGE must be a whole number from 1 to 3650 (it is \"0\")(at  700)",
     true},
    {"CheckWithoutVSphere", L"CHECKS", false, {L"--check", L"datastore"}, 64, nullptr},
    {"UnknownCheck", L"CHECKS", true, {L"--check", L"speed"}, 64, nullptr},
};

class VSphereRunnerTest : public VSphereTest, public testing::WithParamInterface<RunnerCase> {};

// The runner's exit code and line; a check it refuses, or one the component refuses, sends
// nothing.
TEST_P(VSphereRunnerTest, ExitCodeAndTheResultOnOneLine) {
  const RunnerCase &c = GetParam();
  checkedUrl_ = url(c.simulator);
  std::vector<std::wstring> arguments = {L"--host",     checkedUrl_, L"--user",    kUser,
                                         L"--password", kPassword,   L"--timeout", L"20"};
  if (c.vsphere)
    arguments.insert(arguments.end(),
                     {L"--server-type", L"vsphere", L"--thumbprint", kSimThumbprint});
  arguments.insert(arguments.end(), c.options.begin(), c.options.end());
  const std::optional<int> before = requestsReceived(checkedUrl_);
  ASSERT_TRUE(before);
  const wintest::ProgramRun run = wintest::runRunner(arguments);
  EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
  if (c.message) {
    EXPECT_EQ(wintest::singleLine(run.out), c.message);
  } else {
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_TRUE(run.err.starts_with("Usage: brennow-check")) << run.err;
  }
  if (c.exitCode == 64 || c.sendsNothing) {
    EXPECT_EQ(requestsReceived(checkedUrl_), before) << toUtf8(c.simulator);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, VSphereRunnerTest, testing::ValuesIn(runnerCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
