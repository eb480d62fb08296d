// The list button over a vSphere server's datastores and hosts, on the in-memory endpoint:
// the line each object gets, the pick going into the box, the machine listing's steps,
// messages and statement numbers, one retrieval, and the session released.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "dialogs/logic/inventoryLines.h"
#include "dialogs/logic/listing.h"
#include "tests/native/RecordingListingUi.h"
#include "tests/native/vsphere/FakeVSphere.h"
#include "vmserver/vsphere/native/LibXml2Reader.h"

using namespace brennow;
using namespace brennow::dialogs;
using namespace brennow::testing;
using brennow::vmserver::ServerKind;

namespace {

using FakeUi = RecordingListingUi;

FakeVSphere inventory() {
  FakeVSphere server;
  server.datastores = {{L"ds1", 1000, 420},         {L"ds 2", 1000, 999}, {L"full", 1000, 0},
                       {L"gone", 1000, 900, false}, {L"new", 0, 0},       {L"a%2fb", 3, 2}};
  server.hosts = {{L"esx01"},
                  {L"esx02", L"disconnected", false, L""},
                  {L"esx03", L"connected", true, L"yellow"},
                  {L"esx04", L"notResponding", false, L"gray"},
                  {L"esx05", L"", false, L"red"}};
  return server;
}

// Lists `listed` on `server` with the account alice / secret; the listing's UI afterwards.
FakeUi listOn(FakeVSphere &server, ListedObjects listed, std::optional<std::wstring> pick = {}) {
  FakeUi ui;
  ui.pass = L"secret";
  ui.pick = std::move(pick);
  const vmserver::vsphere::Platform platform{server.transportFactory(),
                                             vmserver::vsphere::makeLibXml2Reader};
  listObjects(ui, listed, [&](const std::wstring &thumbprint) {
    return vsphereObjectListing(listed, {ServerKind::VSphere, thumbprint, L"20"}, platform);
  });
  EXPECT_TRUE(server.liveSessions.empty()) << "a session was left logged in";
  EXPECT_TRUE(server.liveViews.empty()) << "a view was left behind";
  return ui;
}

TEST(InventoryLines, DatastoresShowTheirFreeSpaceAsTheCheckCountsIt) {
  FakeVSphere server = inventory();
  const FakeUi ui = listOn(server, ListedObjects::Datastores, L"ds 2");
  const std::vector<PickerLine> expected = {
      {L"ds1 (42 % free)", L"ds1"},  {L"ds 2 (99 % free)", L"ds 2"},
      {L"full (0 % free)", L"full"}, {L"gone (not accessible)", L"gone"},
      {L"new (0 % free)", L"new"},   {L"a/b (66 % free)", L"a/b"}};
  EXPECT_EQ(ui.pickerLines, expected);
  const std::vector<std::wstring> events = {L"status:Working...", L"clear",
                                            L"caption:Datastores on srv1", L"show", L"status:"};
  EXPECT_EQ(ui.events, events);
  EXPECT_EQ(ui.vmName, L"ds 2");
}

TEST(InventoryLines, HostsShowTheirState) {
  FakeVSphere server = inventory();
  const FakeUi ui = listOn(server, ListedObjects::Hosts, L"esx03");
  const std::vector<PickerLine> expected = {
      {L"esx01 (connected, status green)", L"esx01"},
      {L"esx02 (disconnected)", L"esx02"},
      {L"esx03 (connected, in maintenance mode, status yellow)", L"esx03"},
      {L"esx04 (not responding, status gray)", L"esx04"},
      {L"esx05 (connection state not reported, status red)", L"esx05"}};
  EXPECT_EQ(ui.pickerLines, expected);
  EXPECT_EQ(ui.events[2], L"caption:Hosts on srv1");
  EXPECT_EQ(ui.vmName, L"esx03");
}

TEST(InventoryLines, EachListingIsOneRetrievalOfItsType) {
  for (const auto listed : {ListedObjects::Datastores, ListedObjects::Hosts}) {
    FakeVSphere server = inventory();
    listOn(server, listed);
    const std::vector<std::wstring> operations = {
        L"RetrieveServiceContent", L"Login",       L"CreateContainerView",
        L"RetrievePropertiesEx",   L"DestroyView", L"Logout"};
    EXPECT_EQ(server.operations, operations);
    ASSERT_GE(server.requests.size(), 3u);
    EXPECT_EQ(server.requests[2].values.at(L"type"),
              listed == ListedObjects::Hosts ? L"HostSystem" : L"Datastore");
  }
}

TEST(InventoryLines, NoneOnTheServerIsReportedWithoutPicker) {
  struct Case {
    ListedObjects listed;
    const wchar_t *message;
  };
  for (const Case &c : {Case{ListedObjects::Datastores, L"note:No datastores on this server"},
                        Case{ListedObjects::Hosts, L"note:No hosts on this server"}}) {
    FakeVSphere server;
    const FakeUi ui = listOn(server, c.listed);
    EXPECT_EQ(ui.events, (std::vector<std::wstring>{L"status:Working...", c.message, L"status:"}));
  }
}

// The same statement numbers as the machine listing: the login at 130, the read at 140.
TEST(InventoryLines, FailuresEndAtTheMachineListingsStatements) {
  struct Case {
    const wchar_t *operation;
    int statement;
  };
  for (const Case &c : {Case{L"Login", 130}, Case{L"RetrieveServiceContent", 130},
                        Case{L"RetrievePropertiesEx", 140}, Case{L"CreateContainerView", 140}}) {
    FakeVSphere server = inventory();
    server.failures[c.operation] = FakeFailure::fault(L"Busy");
    const FakeUi ui = listOn(server, ListedObjects::Datastores, L"ds1");
    const std::vector<std::wstring> events = {
        L"status:Working...", L"stop:Busy( " + std::to_wstring(c.statement) + L")", L"status:"};
    EXPECT_EQ(ui.events, events) << ::testing::PrintToString(std::wstring(c.operation));
    EXPECT_EQ(ui.vmName, L"typed");
  }
  FakeVSphere server = inventory();
  FakeUi ui;
  ui.pass = L"wrong";
  const vmserver::vsphere::Platform platform{server.transportFactory(),
                                             vmserver::vsphere::makeLibXml2Reader};
  listObjects(ui, ListedObjects::Hosts, [&](const std::wstring &thumbprint) {
    return vsphereObjectListing(ListedObjects::Hosts, {ServerKind::VSphere, thumbprint, L""},
                                platform);
  });
  EXPECT_EQ(ui.events[1], L"stop:Login failure( 130)");
}

} // namespace
