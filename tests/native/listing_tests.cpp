// The list button: messages, statement numbers, what reaches the picker and the
// machine box, the status line, and the release of every server object.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/native/FakeServer.h"
#include "tests/native/RecordingListingUi.h"
#include "dialogs/logic/listing.h"
#include "vmserver/UntrustedCertificate.h"

using namespace brennow;
using namespace brennow::testing;
using namespace brennow::dialogs;
using namespace brennow::vmserver;

namespace {

using FakeUi = RecordingListingUi;

// The certificate a server presents: none that the system does not trust (empty), or
// one that only a thumbprint trusted for the check lets through.
struct Certificate {
  std::wstring thumbprint;
  // A server that refuses every certificate, trusted or not.
  bool alwaysRefused = false;
};

// The fake server behind the certificate check of a vSphere adapter made with the
// thumbprint `trusted`.
class CheckedServer final : public Server {
public:
  CheckedServer(std::unique_ptr<Server> server, const Certificate &certificate,
                std::wstring trusted)
      : server_(std::move(server)), certificate_(certificate), trusted_(std::move(trusted)) {}
  void connect(ConnectParams &params) override {
    if (certificate_.alwaysRefused || certificate_.thumbprint != trusted_)
      throw UntrustedCertificate(certificate_.thumbprint, !trusted_.empty());
    server_->connect(params);
  }
  std::unique_ptr<VmList> registeredVmNames() override { return server_->registeredVmNames(); }

private:
  std::unique_ptr<Server> server_;
  const Certificate &certificate_;
  std::wstring trusted_;
};

class CheckedAutomation final : public Automation {
public:
  CheckedAutomation(FakeAutomation &automation, const Certificate &certificate,
                    std::wstring trusted)
      : automation_(automation), certificate_(certificate), trusted_(std::move(trusted)) {}
  std::unique_ptr<ConnectParams> createConnectParams() override {
    return automation_.createConnectParams();
  }
  std::unique_ptr<Server> createServer() override {
    return std::make_unique<CheckedServer>(automation_.createServer(), certificate_, trusted_);
  }
  std::unique_ptr<Machine> createMachine() override { return automation_.createMachine(); }

private:
  FakeAutomation &automation_;
  const Certificate &certificate_;
  std::wstring trusted_;
};

// Lists over `automation`, each adapter made for the thumbprint then trusted; `made`
// collects those thumbprints.
void list(FakeUi &ui, FakeAutomation &automation, const Certificate &certificate = {},
          std::vector<std::wstring> *made = nullptr) {
  listVirtualMachines(ui, [&](const std::wstring &trusted) {
    if (made)
      made->push_back(trusted);
    return std::make_unique<CheckedAutomation>(automation, certificate, trusted);
  });
}

FakeInventory machines(std::vector<FakeMachine> list) {
  FakeInventory inventory;
  inventory.machines = std::move(list);
  return inventory;
}

TEST(Listing, ListsEveryMachineInOrderAndTakesThePick) {
  FakeAutomation automation(machines({{L"web01", 1}, {L"db01", 2}, {L"web01", 3}}));
  FakeUi ui;
  ui.pick = L"db01";
  list(ui, automation);
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
    list(ui, automation);
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
    list(ui, automation);
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
  list(ui, automation);
  EXPECT_NE(std::find(automation.log.begin(), automation.log.end(), L"params.Username=   "),
            automation.log.end());
  EXPECT_EQ(ui.pickerList.size(), 1u);
}

TEST(Listing, NoRegisteredMachines) {
  FakeAutomation automation(machines({}));
  FakeUi ui;
  list(ui, automation);
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
  list(ui, automation);
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
  list(ui, automation);
  EXPECT_EQ(ui.events[1], L"stop:Login refused( 130)");
}

// ---- a server certificate that is not trusted

constexpr wchar_t kPresented[] =
    L"448F628A8A65AA18560E53A80C53ACB38C51B427DF0334082349141147DC9BF6";
constexpr wchar_t kPinned[] = L"00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF";
constexpr wchar_t kPresentedInPairs[] = L"44:8F:62:8A:8A:65:AA:18\n56:0E:53:A8:0C:53:AC:B3\n"
                                        L"8C:51:B4:27:DF:03:34:08\n23:49:14:11:47:DC:9B:F6";

TEST(TrustQuestion, ShowsThePresentedThumbprintInLinesOfPairsAndSaysWhetherAPinWasBroken) {
  EXPECT_EQ(trustQuestion(kPresented, false),
            L"The server's certificate is not trusted.\n\nSHA-256 thumbprint of the certificate "
            L"the server presents:\n" +
                std::wstring(kPresentedInPairs) + L"\n\nTrust this certificate for this check?");
  EXPECT_EQ(trustQuestion(kPresented, true),
            L"The server's certificate no longer matches the thumbprint trusted so far.\n\n"
            L"SHA-256 thumbprint of the certificate the server presents:\n" +
                std::wstring(kPresentedInPairs) + L"\n\nTrust this certificate for this check?");
}

struct TrustCase {
  const char *name;
  const wchar_t *trustedBefore;
  bool answer;
  // What the listing did after the question: "" when no question was asked.
  std::vector<std::wstring> events;
  std::vector<std::wstring> made;
  std::wstring trustedAfter;
};

std::wstring question(bool pinned) { return L"ask:" + trustQuestion(kPresented, pinned); }
std::wstring refusal(bool pinned) {
  return L"stop:" + UntrustedCertificate(kPresented, pinned).description() + L"( 130)";
}
// After No: what the listing needs, not the check's advice to pin the thumbprint in THUMB.
std::wstring declined(bool pinned) { return L"stop:" + untrustedForListing(pinned) + L"( 130)"; }

TEST(TrustQuestion, ADeclinedCertificateSaysTheListingNeedsItTrusted) {
  EXPECT_EQ(untrustedForListing(false),
            L"The server's certificate is not trusted, and the listing needs it trusted: press "
            L"\"...\" again and answer Yes to trust it");
  EXPECT_EQ(untrustedForListing(true),
            L"The server's certificate no longer matches the thumbprint trusted so far, and the "
            L"listing needs it trusted: press \"...\" again and answer Yes to trust it");
}

const TrustCase kTrustCases[] = {
    {"YesListsAgainAtOnce",
     L"",
     true,
     {L"status:Working...", question(false), std::wstring(L"trust:") + kPresented, L"clear",
      L"caption:Registered virtual machines on srv1", L"show", L"status:"},
     {L"", kPresented},
     kPresented},
    {"NoEndsWithTheErrorAtConnect",
     L"",
     false,
     {L"status:Working...", question(false), declined(false), L"status:"},
     {L""},
     L""},
    {"AChangedCertificateIsAskedAboutAsNoLongerMatching",
     kPinned,
     true,
     {L"status:Working...", question(true), std::wstring(L"trust:") + kPresented, L"clear",
      L"caption:Registered virtual machines on srv1", L"show", L"status:"},
     {kPinned, kPresented},
     kPresented},
    {"AChangedCertificateRefusedKeepsThePin",
     kPinned,
     false,
     {L"status:Working...", question(true), declined(true), L"status:"},
     {kPinned},
     kPinned},
};

class Trust : public ::testing::TestWithParam<TrustCase> {};

TEST_P(Trust, TheQuestionDecidesBetweenListingAgainAndTheError) {
  const TrustCase &c = GetParam();
  FakeAutomation automation(machines({{L"web01", 1}}));
  FakeUi ui;
  ui.trusted = c.trustedBefore;
  ui.trusts = c.answer;
  ui.pick = L"web01";
  std::vector<std::wstring> made;
  list(ui, automation, {kPresented}, &made);
  EXPECT_EQ(ui.events, c.events);
  EXPECT_EQ(made, c.made);
  EXPECT_EQ(ui.trusted, c.trustedAfter);
  EXPECT_EQ(ui.vmName, c.answer ? L"web01" : L"typed");
  EXPECT_EQ(automation.alive, 0);
}

INSTANTIATE_TEST_SUITE_P(Answers, Trust, ::testing::ValuesIn(kTrustCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Trusting, TheRefusedConnectionIsReleasedBeforeTheNextTry) {
  FakeAutomation automation(machines({{L"web01", 1}}));
  FakeUi ui;
  ui.trusts = true;
  list(ui, automation, {kPresented});
  const auto secondParams =
      std::find(automation.log.begin() + 1, automation.log.end(), L"create params");
  ASSERT_NE(secondParams, automation.log.end());
  const std::vector<std::wstring> beforeRetry(automation.log.begin(), secondParams);
  EXPECT_EQ(beforeRetry,
            (std::vector<std::wstring>{L"create params", L"create server", L"params.Hostname=srv1",
                                       L"params.Username=alice", L"params.Password=secret",
                                       L"release params", L"release server"}));
}

TEST(Trusting, ACertificateRefusedThoughTrustedIsNotAskedAboutAgain) {
  FakeAutomation automation(machines({{L"web01", 1}}));
  FakeUi ui;
  ui.trusts = true;
  std::vector<std::wstring> made;
  list(ui, automation, {kPresented, true}, &made);
  const std::vector<std::wstring> events = {L"status:Working...", question(false),
                                            std::wstring(L"trust:") + kPresented, refusal(true),
                                            L"status:"};
  EXPECT_EQ(ui.events, events);
  EXPECT_EQ(made, (std::vector<std::wstring>{L"", kPresented}));
}

} // namespace
