// The vSphere checks beyond the machine state (CHK), as the host runs them, over the
// in-memory endpoint: each check's answers and messages, thresholds at their edges, refused
// keys, objects that are not there, failures at their statements, and no session left behind.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>

#include "common/utf8.h"
#include "component/vsphereCheck.h"
#include "params/VSphereChecks.h"
#include "params/base64.h"
#include "tests/native/vsphere/CheckRuns.h"
#include "tests/native/vsphere/FakeVSphere.h"

using namespace brennow;
using namespace brennow::testing;
using namespace brennow::vmserver::vsphere;

namespace {

// The server's clock reads 2026-12-09T12:00:00Z; ages are counted from it.
FakeVSphere estate() {
  FakeVSphere server;
  server.machines = {
      {L"web01"},
      {L"db01", L"poweredOff"},
      {L"app", L"poweredOn", L"connected", false, L"guestToolsNotRunning"},
      {L"cache", L"poweredOn", L"connected", false, L"guestToolsRunning", L"red"},
      {L"old",
       L"poweredOn",
       L"connected",
       false,
       L"guestToolsRunning",
       L"green",
       {{L"base", L"2026-11-19T12:00:00Z", {{L"before-patch", L"2026-11-27T12:00:00Z"}}}}},
      {L"fresh",
       L"poweredOn",
       L"connected",
       false,
       L"guestToolsRunning",
       L"green",
       {{L"nightly", L"2026-12-07T12:00:00Z"}}},
      // Not quite eight days old: seven whole days.
      {L"edge",
       L"poweredOn",
       L"connected",
       false,
       L"guestToolsRunning",
       L"green",
       {{L"almost", L"2026-12-01T12:00:01Z"}}},
      {L"web%2f02"},
      {L"scripts", L"poweredOn", L"connected", false, L"guestToolsExecutingScripts"},
      {L"suspended", L"suspended"},
  };
  server.datastores = {
      {L"ds1", 1000, 420},        {L"ds2", 1000, 350}, {L"ds3", 1000, 40},
      {L"ds4", 1000, 900, false}, {L"ds5", 1000, 95},  {L"ds6", 1000, 100},
  };
  server.hosts = {
      {L"esx01"},
      {L"esx02", L"disconnected"},
      {L"esx03", L"connected", true},
      {L"esx04", L"connected", false, L"red"},
      {L"esx05", L"connected", false, L"yellow"},
      {L"esx06", L"notResponding"},
  };
  server.alarms = {
      {L"Virtual machine CPU usage", L"VirtualMachine", 0, L"yellow"},
      {L"Host connection and power state", L"HostSystem", 1, L"red"},
      {L"Datastore usage on disk", L"Datastore", 2, L"yellow"},
  };
  return server;
}

// A vSphere check's string: the account, no machine state fields, and the check's own fields
// (VMN among them where the check names a machine).
std::wstring checkString(const std::wstring &fields, const std::wstring &password = L"secret") {
  return L"#VSTP=VSPHERE#USR=alice#PWD=" + base64Encode(password, windows1252()) + L"#THUMB=#" +
         fields;
}

struct Case {
  const char *name;
  const wchar_t *checkFields; // after THUMB
  bool answer;
  std::wstring result;
  std::function<void(FakeVSphere &)> change = nullptr;
};

void runCases(std::initializer_list<Case> cases) {
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    FakeVSphere server = estate();
    server.pageSize = 4; // every listing takes several pages
    if (c.change)
      c.change(server);
    const CheckRun run = runCheckOn(server, checkString(c.checkFields));
    EXPECT_EQ(run.result, c.result);
    EXPECT_EQ(run.answer, c.answer);
    expectReleased(server);
  }
}

std::wstring refused(const std::wstring &description) {
  return errorReport(description, vsphereStatement::ReadKeys);
}

TEST(VSphereChecks, GuestAlive) {
  runCases({
      {"alive", L"CHK=GUEST#VMN=web01#", true,
       L"Virtual machine (web01) is on, its guest is alive: VMware Tools running, heartbeat green"},
      {"any letter case", L"chk=guest#VMN=web01#", true,
       L"Virtual machine (web01) is on, its guest is alive: VMware Tools running, heartbeat green"},
      {"off", L"CHK=GUEST#VMN=db01#", false,
       L"Virtual machine (db01) is off, its guest is not alive"},
      {"suspended", L"CHK=GUEST#VMN=suspended#", false,
       L"Virtual machine (suspended) is suspended, its guest is not alive"},
      {"tools stopped", L"CHK=GUEST#VMN=app#", false,
       L"Virtual machine (app) is on, its guest is not alive: VMware Tools not running"},
      {"tools starting", L"CHK=GUEST#VMN=scripts#", false,
       L"Virtual machine (scripts) is on, its guest is not alive: VMware Tools executing scripts"},
      {"heartbeat red", L"CHK=GUEST#VMN=cache#", false,
       L"Virtual machine (cache) is on, its guest is not alive: heartbeat red"},
      {"heartbeat yellow", L"CHK=GUEST#VMN=web01#", false,
       L"Virtual machine (web01) is on, its guest is not alive: heartbeat yellow",
       [](FakeVSphere &s) { s.machines[0].heartbeat = L"yellow"; }},
      {"named as typed", L"CHK=GUEST#VMN=web/02#", true,
       L"Virtual machine (web/02) is on, its guest is alive: VMware Tools running, heartbeat "
       L"green"},
      {"unknown", L"CHK=GUEST#VMN=ghost#", false,
       L"Can't get the state of this (ghost) virtual machine, it's not listed as a known one"},
      {"no machine named", L"CHK=GUEST#", false,
       refused(L"VMN must name the virtual machine the GUEST check looks at")},
  });
}

TEST(VSphereChecks, DatastoreSpace) {
  const auto withoutInaccessible = [](FakeVSphere &s) {
    s.datastores.erase(s.datastores.begin() + 3);
  };
  runCases({
      {"named", L"CHK=DATASTORE#DSN=ds1#", true, L"Datastore (ds1) has 42 % free, at least 10 %"},
      {"at the threshold", L"CHK=DATASTORE#DSN=ds1#MINFREE=42#", true,
       L"Datastore (ds1) has 42 % free, at least 42 %"},
      {"below the threshold", L"CHK=DATASTORE#DSN=ds1#MINFREE=43#", false,
       L"Datastore (ds1) has 42 % free, less than 43 %"},
      {"exactly the default", L"CHK=DATASTORE#DSN=ds6#", true,
       L"Datastore (ds6) has 10 % free, at least 10 %"},
      {"a fraction below", L"CHK=DATASTORE#DSN=ds5#", false,
       L"Datastore (ds5) has 9 % free, less than 10 %"},
      {"a fraction above", L"CHK=DATASTORE#DSN=ds5#MINFREE= 9 #", true,
       L"Datastore (ds5) has 9 % free, at least 9 %"},
      {"full", L"CHK=DATASTORE#DSN=ds5#MINFREE=100#", false,
       L"Datastore (ds5) has 9 % free, less than 100 %"},
      {"inaccessible", L"CHK=DATASTORE#DSN=ds4#MINFREE=0#", false,
       L"Datastore (ds4) is not accessible"},
      {"every one, worst first", L"CHK=DATASTORE#", false,
       L"Datastore (ds4) is not accessible; 2 other datastores fail too"},
      {"every one below", L"CHK=DATASTORE#", false,
       L"Datastore (ds3) has 4 % free, less than 10 %; 1 other datastore below it",
       withoutInaccessible},
      {"every one in order", L"CHK=DATASTORE#MINFREE=4#", true,
       L"All 5 datastore(s) have at least 4 % free; the least free (ds3) has 4 %",
       withoutInaccessible},
      {"none", L"CHK=DATASTORE#", false, L"No datastores on this server",
       [](FakeVSphere &s) { s.datastores.clear(); }},
      {"unknown", L"CHK=DATASTORE#DSN=ds9#", false,
       L"Can't get the free space of this (ds9) datastore, it's not listed as a known one"},
      {"empty capacity", L"CHK=DATASTORE#DSN=ds1#MINFREE=1#", false,
       L"Datastore (ds1) has 0 % free, less than 1 %",
       [](FakeVSphere &s) { s.datastores[0].capacity = 0; }},
  });
}

TEST(VSphereChecks, SnapshotAge) {
  runCases({
      {"every machine, the oldest first", L"CHK=SNAPSHOT#", false,
       L"Virtual machine (old) has a snapshot (base) 20 day(s) old, older than 7; 1 other "
       L"snapshot older too"},
      {"the older child too", L"CHK=SNAPSHOT#MAXAGE=2#", false,
       L"Virtual machine (old) has a snapshot (base) 20 day(s) old, older than 2; 2 other "
       L"snapshots older too"},
      {"named", L"CHK=SNAPSHOT#VMN=fresh#", true,
       L"Virtual machine (fresh) has no snapshot older than 7 day(s)"},
      {"whole days", L"CHK=SNAPSHOT#VMN=edge#MAXAGE=7#", true,
       L"Virtual machine (edge) has no snapshot older than 7 day(s)"},
      {"a day past the limit", L"CHK=SNAPSHOT#VMN=edge#MAXAGE=6#", false,
       L"Virtual machine (edge) has a snapshot (almost) 7 day(s) old, older than 6"},
      {"at the limit", L"CHK=SNAPSHOT#VMN=old#MAXAGE=20#", true,
       L"Virtual machine (old) has no snapshot older than 20 day(s)"},
      {"no snapshots", L"CHK=SNAPSHOT#VMN=web01#MAXAGE=1#", true,
       L"Virtual machine (web01) has no snapshot older than 1 day(s)"},
      {"none anywhere", L"CHK=SNAPSHOT#MAXAGE=3650#", true,
       L"No snapshot older than 3650 day(s) on 10 virtual machine(s)"},
      {"the server's clock counts", L"CHK=SNAPSHOT#VMN=old#", false,
       L"Virtual machine (old) has a snapshot (base) 10 day(s) old, older than 7",
       [](FakeVSphere &s) { s.currentTime = L"2026-11-29T13:00:00+01:00"; }},
      {"unknown", L"CHK=SNAPSHOT#VMN=ghost#", false,
       L"Can't get the snapshots of this (ghost) virtual machine, it's not listed as a known one"},
      {"a time that is none", L"CHK=SNAPSHOT#", false,
       L"ERR: The server reported a snapshot's creation time in a form that is not a date and "
       L"time (yesterday)(at  750)",
       [](FakeVSphere &s) { s.machines[5].snapshots[0].createTime = L"yesterday"; }},
  });
}

TEST(VSphereChecks, HostState) {
  const auto healthy = [](FakeVSphere &s) {
    s.hosts = {{L"esx01"}, {L"esx05", L"connected", false, L"yellow"}};
  };
  runCases({
      {"every host, the worst first", L"CHK=HOST#", false,
       L"Host (esx02) is disconnected; 3 other hosts fail too"},
      {"named", L"CHK=HOST#HSN=esx01#", true,
       L"Host (esx01) is connected, not in maintenance mode, its status green"},
      {"yellow is no failure", L"CHK=HOST#HSN=esx05#", true,
       L"Host (esx05) is connected, not in maintenance mode, its status yellow"},
      {"maintenance", L"CHK=HOST#HSN=esx03#", false, L"Host (esx03) is in maintenance mode"},
      {"red", L"CHK=HOST#HSN=esx04#", false, L"Host (esx04) has the overall status red"},
      {"not responding", L"CHK=HOST#HSN=esx06#", false, L"Host (esx06) is not responding"},
      {"all healthy", L"CHK=HOST#", true,
       L"All 2 host(s) connected, none in maintenance mode or red", healthy},
      {"none", L"CHK=HOST#", false, L"No hosts on this server",
       [](FakeVSphere &s) { s.hosts.clear(); }},
      {"unknown", L"CHK=HOST#HSN=esx99#", false,
       L"Can't get the state of this (esx99) host, it's not listed as a known one"},
  });
}

TEST(VSphereChecks, TriggeredAlarms) {
  const auto onlyYellow = [](FakeVSphere &s) { s.alarms.erase(s.alarms.begin() + 1); };
  runCases({
      {"red by default", L"CHK=ALARM#", false,
       L"Alarm (Host connection and power state) is red on host (esx02)"},
      {"yellow or worse", L"CHK=ALARM#ALS=yellow#", false,
       L"Alarm (Host connection and power state) is red on host (esx02); 2 other alarms are "
       L"yellow or red too"},
      {"yellow alone", L"CHK=ALARM#ALS=YELLOW#", false,
       L"Alarm (Virtual machine CPU usage) is yellow on virtual machine (web01); 1 other alarm is "
       L"yellow or red too",
       onlyYellow},
      {"no red", L"CHK=ALARM#ALS=red#", true, L"No triggered alarm is red", onlyYellow},
      {"none", L"CHK=ALARM#ALS=yellow#", true, L"No triggered alarm is yellow or red",
       [](FakeVSphere &s) { s.alarms.clear(); }},
      {"two red", L"CHK=ALARM#", false,
       L"Alarm (Host connection and power state) is red on host (esx02); 1 other alarm is red too",
       [](FakeVSphere &s) { s.alarms[2].status = L"red"; }},
      {"another level", L"CHK=ALARM#ALS=blue#", false,
       refused(L"ALS must be red or yellow (it is \"blue\")")},
  });
}

// What a check refuses is refused before anything goes to the server.
TEST(VSphereChecks, KeysAreJudgedBeforeAnythingIsSent) {
  const std::pair<const wchar_t *, std::wstring> cases[] = {
      {L"CHK=SPEED#", L"CHK must be one of GUEST, DATASTORE, SNAPSHOT, HOST, ALARM, or empty (it "
                      L"is \"SPEED\")"},
      {L"CHK=DATASTORE#MINFREE=101#",
       L"MINFREE must be a whole number from 0 to 100 (it is \"101\")"},
      {L"CHK=DATASTORE#MINFREE=-1#",
       L"MINFREE must be a whole number from 0 to 100 (it is \"-1\")"},
      {L"CHK=DATASTORE#MINFREE=9.5#",
       L"MINFREE must be a whole number from 0 to 100 (it is \"9.5\")"},
      {L"CHK=DATASTORE#MINFREE=ten#",
       L"MINFREE must be a whole number from 0 to 100 (it is \"ten\")"},
      {L"CHK=SNAPSHOT#MAXAGE=0#", L"MAXAGE must be a whole number from 1 to 3650 (it is \"0\")"},
      {L"CHK=SNAPSHOT#MAXAGE=3651#",
       L"MAXAGE must be a whole number from 1 to 3650 (it is \"3651\")"},
      {L"CHK=SNAPSHOT#MAXAGE=99999999999#",
       L"MAXAGE must be a whole number from 1 to 3650 (it is \"99999999999\")"},
  };
  for (const auto &[fields, description] : cases) {
    FakeVSphere server = estate();
    const CheckRun run = runCheckOn(server, checkString(fields));
    EXPECT_FALSE(run.answer);
    EXPECT_EQ(run.result, refused(description));
    EXPECT_TRUE(server.operations.empty()) << toUtf8(fields);
  }
}

// The connection's steps keep their numbers; each read fails at its own.
TEST(VSphereChecks, FailuresEndAtTheirStatementAndRelease) {
  struct FailureCase {
    const wchar_t *fields;
    const wchar_t *operation;
    int statement;
  };
  const FailureCase cases[] = {
      {L"CHK=GUEST#VMN=web01#", L"CreateContainerView", vsphereStatement::ListMachines},
      {L"CHK=DATASTORE#", L"RetrievePropertiesEx", vsphereStatement::ReadDatastores},
      {L"CHK=SNAPSHOT#", L"CurrentTime", vsphereStatement::ReadTime},
      {L"CHK=SNAPSHOT#", L"ContinueRetrievePropertiesEx", vsphereStatement::ReadSnapshots},
      {L"CHK=HOST#", L"CreateContainerView", vsphereStatement::ReadHosts},
      {L"CHK=ALARM#", L"RetrievePropertiesEx", vsphereStatement::ReadAlarms},
      {L"CHK=HOST#", L"Login", 130},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(toUtf8(c.fields) + " " + toUtf8(c.operation));
    FakeVSphere server = estate();
    server.pageSize = 2;
    server.failures[c.operation] = FakeFailure::fault(L"Busy");
    const CheckRun run = runCheckOn(server, checkString(c.fields));
    EXPECT_FALSE(run.answer);
    EXPECT_EQ(run.result, errorReport(L"Busy", c.statement));
    expectReleased(server);
  }
  FakeVSphere server = estate();
  const CheckRun wrong = runCheckOn(server, checkString(L"CHK=HOST#", L"wrong"));
  EXPECT_EQ(wrong.result, L"ERR: Login failure(at  130)");
}

// The alarm's and its object's names are read in one retrieval after the alarms, at 780.
TEST(VSphereChecks, AlarmNamesAreReadAtTheirOwnStatement) {
  FakeVSphere server = estate();
  server.rewrite = [](const std::wstring &operation, int nth, HttpAnswer &answer) {
    if (operation == L"RetrievePropertiesEx" && nth == 2)
      answer = {500, "text/html", "<html>busy</html>", {}};
  };
  const CheckRun run = runCheckOn(server, checkString(L"CHK=ALARM#"));
  EXPECT_EQ(run.result, errorReport(L"The server's answer is not a vSphere Web Services answer "
                                    L"(HTTP status 500 without a SOAP fault)",
                                    vsphereStatement::ReadAlarmNames));
  const std::vector<std::wstring> expected = {L"RetrieveServiceContent", L"Login",
                                              L"RetrievePropertiesEx", L"RetrievePropertiesEx",
                                              L"Logout"};
  EXPECT_EQ(server.operations, expected);
}

// Every read is one retrieval for all objects of its type, whatever their number.
TEST(VSphereChecks, OneRetrievalPerRead) {
  const std::pair<const wchar_t *, std::vector<std::wstring>> cases[] = {
      {L"CHK=DATASTORE#",
       {L"RetrieveServiceContent", L"Login", L"CreateContainerView", L"RetrievePropertiesEx",
        L"DestroyView", L"Logout"}},
      {L"CHK=SNAPSHOT#",
       {L"RetrieveServiceContent", L"Login", L"CurrentTime", L"CreateContainerView",
        L"RetrievePropertiesEx", L"DestroyView", L"Logout"}},
      {L"CHK=GUEST#VMN=web01#",
       {L"RetrieveServiceContent", L"Login", L"CreateContainerView", L"RetrievePropertiesEx",
        L"DestroyView", L"RetrievePropertiesEx", L"Logout"}},
  };
  for (const auto &[fields, operations] : cases) {
    FakeVSphere server = estate();
    runCheckOn(server, checkString(fields));
    EXPECT_EQ(server.operations, operations) << toUtf8(fields);
  }
}

// An empty CHK, or one of blanks, is the machine state, exactly as before.
TEST(VSphereChecks, EmptyCheckIsTheMachineState) {
  for (const wchar_t *fields : {L"", L"CHK=#", L"CHK=  #DSN=ds1#"}) {
    FakeVSphere server = estate();
    const CheckRun run =
        runCheckOn(server, vsphereParameters(L"secret", L"web01", L"on", L"", fields));
    EXPECT_TRUE(run.answer) << toUtf8(fields);
    EXPECT_EQ(run.result, L"Virtual machine (web01) is on");
  }
}

TEST(VSphereCheckKeys, DescriptionsAndDefaults) {
  EXPECT_EQ(checkNamed(L" datastore ")->check, VSphereCheck::Datastore);
  EXPECT_EQ(checkNamed(L"")->check, VSphereCheck::MachineState);
  EXPECT_EQ(checkNamed(L"DATASTORES"), nullptr);
  const auto settings = std::get<CheckSettings>(readCheckSettings(L"#CHK=Snapshot#VMN=a#"));
  EXPECT_EQ(settings.check->check, VSphereCheck::Snapshot);
  EXPECT_EQ(settings.threshold, 7);
  EXPECT_EQ(settings.object, L"a");
  EXPECT_EQ(std::get<CheckSettings>(readCheckSettings(L"#CHK=DATASTORE#MINFREE=#")).threshold, 10);
  EXPECT_EQ(std::get<CheckSettings>(readCheckSettings(L"#CHK=ALARM#")).alarmLevel, AlarmLevel::Red);
  const std::wstring_view expectedKeys[] = {L"CHK", L"DSN", L"MINFREE", L"MAXAGE", L"HSN", L"ALS"};
  EXPECT_TRUE(std::equal(vsphereCheckKeys().begin(), vsphereCheckKeys().end(),
                         std::begin(expectedKeys), std::end(expectedKeys)));
}

// The parameter strings the README and the help file give as examples: each is one the check
// reads as written, and together they show every check beyond the machine state.
TEST(VSphereCheckKeys, DocumentedExamplesAreAccepted) {
  for (const char *document : {"README.md", "help/vsphere.htm"}) {
    std::ifstream file(std::string(BRENNOW_SOURCE_DIR "/") + document);
    ASSERT_TRUE(file) << document;
    const std::string text{std::istreambuf_iterator<char>(file), {}};
    std::set<VSphereCheck> shown;
    const std::string_view start = "#VSTP=VSPHERE#";
    for (auto at = text.find(start); at != std::string::npos; at = text.find(start, at + 1)) {
      const std::string example = text.substr(at, text.find_first_of(" \t\r\n<`", at) - at);
      if (example.find("#CHK=") == std::string::npos)
        continue;
      const auto settings = readCheckSettings(fromUtf8(example));
      ASSERT_TRUE(std::holds_alternative<CheckSettings>(settings))
          << document << ": " << example << ": " << toUtf8(std::get<std::wstring>(settings));
      shown.insert(std::get<CheckSettings>(settings).check->check);
    }
    EXPECT_EQ(shown, (std::set{VSphereCheck::Guest, VSphereCheck::Datastore, VSphereCheck::Snapshot,
                               VSphereCheck::Host, VSphereCheck::Alarm}))
        << document;
  }
}

} // namespace
