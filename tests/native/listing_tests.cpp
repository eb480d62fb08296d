// The list button: messages, statement numbers, what reaches the picker and the
// machine box, the status line, and the release of every server object.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/native/FakeServer.h"
#include "dialogs/logic/listing.h"

using namespace brennow;
using namespace brennow::testing;
using namespace brennow::dialogs;

namespace {

class FakeUi final : public ListingUi {
public:
  std::wstring host = L"srv1", user = L"alice", pass = L"secret";
  std::optional<std::wstring> pick; // what the user double-clicks, if anything
  std::vector<std::wstring> events; // status changes, messages, picker calls
  std::vector<std::wstring> pickerList;
  std::wstring vmName = L"typed";

  void setStatus(const std::wstring &text) override { events.push_back(L"status:" + text); }
  std::wstring hostname() override { return host; }
  std::wstring username() override { return user; }
  std::wstring password() override { return pass; }
  void showMessage(const std::wstring &text, MessageIcon icon) override {
    events.push_back(std::wstring(icon == MessageIcon::Stop ? L"stop:" : L"note:") + text);
  }
  void clearPickerList() override {
    pickerList.clear();
    events.push_back(L"clear");
  }
  void appendToPickerList(const std::wstring &name) override { pickerList.push_back(name); }
  void setPickerCaption(const std::wstring &caption) override {
    events.push_back(L"caption:" + caption);
  }
  std::optional<std::wstring> showPicker() override {
    events.push_back(L"show");
    return pick;
  }
  void setVmName(const std::wstring &name) override { vmName = name; }
};

FakeInventory machines(std::vector<FakeMachine> list) {
  FakeInventory inventory;
  inventory.machines = std::move(list);
  return inventory;
}

TEST(Listing, ListsEveryMachineInOrderAndTakesThePick) {
  FakeAutomation automation(machines({{L"web01", 1}, {L"db01", 2}, {L"web01", 3}}));
  FakeUi ui;
  ui.pick = L"db01";
  listVirtualMachines(ui, automation);
  EXPECT_EQ(ui.pickerList, (std::vector<std::wstring>{L"web01", L"db01", L"web01"}));
  EXPECT_EQ(ui.vmName, L"db01");
  const std::vector<std::wstring> events = {L"status:Working...", L"clear",
                                            L"caption:Registered virtual machines on srv1", L"show",
                                            L"status:"};
  EXPECT_EQ(ui.events, events);
  EXPECT_EQ(automation.alive, 0);
  // Released before the picker is shown: the last server operation is the server's release.
  const std::vector<std::wstring> tail(automation.log.end() - 3, automation.log.end());
  EXPECT_EQ(tail,
            (std::vector<std::wstring>{L"release list", L"release params", L"release server"}));
  EXPECT_EQ(std::count(automation.log.begin(), automation.log.end(), L"list.Count"), 2);
}

TEST(Listing, ClosingThePickerWithoutAPickKeepsTheBox) {
  for (const std::optional<std::wstring> &pick :
       {std::optional<std::wstring>{}, std::optional<std::wstring>{L""}}) {
    FakeAutomation automation(machines({{L"web01", 1}}));
    FakeUi ui;
    ui.pick = pick;
    listVirtualMachines(ui, automation);
    EXPECT_EQ(ui.vmName, L"typed");
    EXPECT_EQ(ui.events.back(), L"status:");
  }
}

TEST(Listing, MissingCredentialsNeverContactTheServer) {
  struct Case {
    std::wstring user, pass;
  };
  for (const Case &c : {Case{L"", L"secret"}, Case{L"alice", L""}, Case{L"", L""}}) {
    FakeAutomation automation(machines({{L"web01", 1}}));
    FakeUi ui;
    ui.user = c.user;
    ui.pass = c.pass;
    listVirtualMachines(ui, automation);
    EXPECT_TRUE(automation.log.empty());
    const std::vector<std::wstring> events = {
        L"status:Working...", L"stop:Can't list the VMs with a username and/or password!",
        L"status:"};
    EXPECT_EQ(ui.events, events);
  }
}

TEST(Listing, BlankUserNamePassedOnUnchanged) {
  FakeInventory inventory = machines({{L"web01", 1}});
  inventory.username = L"   ";
  FakeAutomation automation(inventory);
  FakeUi ui;
  ui.user = L"   ";
  listVirtualMachines(ui, automation);
  EXPECT_NE(std::find(automation.log.begin(), automation.log.end(), L"params.Username=   "),
            automation.log.end());
  EXPECT_EQ(ui.pickerList.size(), 1u);
}

TEST(Listing, NoRegisteredMachines) {
  FakeAutomation automation(machines({}));
  FakeUi ui;
  listVirtualMachines(ui, automation);
  const std::vector<std::wstring> events = {
      L"status:Working...", L"note:No registered virtual machines on this server", L"status:"};
  EXPECT_EQ(ui.events, events);
  EXPECT_EQ(automation.alive, 0);
}

struct Failure {
  const char *name;
  std::wstring operation;
  int statement;
};

class ListingFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(ListingFailure, ShowsDescriptionAndStatementAndNoPicker) {
  FakeInventory inventory = machines({{L"web01", 1}, {L"db01", 2}});
  inventory.faults[GetParam().operation] = L"Injected";
  FakeAutomation automation(inventory);
  FakeUi ui;
  ui.pick = L"web01";
  listVirtualMachines(ui, automation);
  EXPECT_NE(std::find(ui.events.begin(), ui.events.end(),
                      L"stop:Injected( " + std::to_wstring(GetParam().statement) + L")"),
            ui.events.end());
  EXPECT_EQ(std::find(ui.events.begin(), ui.events.end(), L"show"), ui.events.end());
  EXPECT_EQ(ui.vmName, L"typed");
  EXPECT_EQ(ui.events.back(), L"status:");
  EXPECT_EQ(automation.alive, 0);
}

INSTANTIATE_TEST_SUITE_P(Statements, ListingFailure,
                         ::testing::Values(Failure{"CreateParams", L"create params", 80},
                                           Failure{"CreateServer", L"create server", 90},
                                           Failure{"Hostname", L"params.Hostname=srv1", 100},
                                           Failure{"Username", L"params.Username=alice", 110},
                                           Failure{"Password", L"params.Password=secret", 120},
                                           Failure{"Connect", L"server.Connect", 130},
                                           Failure{"List", L"server.RegisteredVmNames", 140},
                                           Failure{"Count", L"list.Count", 150},
                                           Failure{"Item", L"list.Item(2)", 260}),
                         [](const auto &info) { return info.param.name; });

TEST(Listing, RefusedLoginShowsTheServersDescription) {
  FakeAutomation automation(machines({{L"web01", 1}}));
  FakeUi ui;
  ui.pass = L"wrong";
  listVirtualMachines(ui, automation);
  EXPECT_EQ(ui.events[1], L"stop:Login refused( 130)");
}

} // namespace
