#include "dialogs/logic/listing.h"

#include <cstdint>
#include <memory>
#include <new>

#include "common/AutomationError.h"
#include "common/text.h"

namespace brennow::dialogs {
namespace {

using vmserver::Automation;

// The objects of one listing, released list first, then parameters, then server.
struct Connection {
  std::unique_ptr<vmserver::ConnectParams> params;
  std::unique_ptr<vmserver::Server> server;
  std::unique_ptr<vmserver::VmList> list;

  void release() noexcept {
    list.reset();
    params.reset();
    server.reset();
  }
};

// Runs a statement whose failure is skipped (the steps after the listing).
template <typename Statement> void ignoringErrors(Statement &&statement) noexcept {
  try {
    statement();
  } catch (...) {
  }
}

class Listing {
public:
  Listing(ListingUi &ui, Automation &automation) : ui_(ui), automation_(automation) {}

  void run() {
    ui_.setStatus(kWorkingStatus); // 10, 20
    try {
      if (connectAndList())
        showPickerAndTakeName();
    } catch (const AutomationError &error) {
      reportError(error.description());
    } catch (const std::bad_alloc &) {
      reportError(L"Out of memory");
    }
    // Nothing is working any more, whichever way the listing ended.
    ignoringErrors([&] { ui_.setStatus(L""); }); // 370, 380
  }

private:
  void at(int number) { statement_ = number; }

  // Steps 40 to 270; false when there is nothing to show.
  bool connectAndList() {
    at(40);
    const std::wstring username = ui_.username();
    const std::wstring password = ui_.password();
    if (username.empty() || password.empty()) {
      at(50);
      ui_.showMessage(kMissingCredentials, MessageIcon::Stop);
      return false;
    }
    at(80);
    connection_.params = automation_.createConnectParams();
    at(90);
    connection_.server = automation_.createServer();
    at(100);
    connection_.params->setHostname(ui_.hostname());
    at(110);
    connection_.params->setUsername(username);
    at(120);
    connection_.params->setPassword(password);
    at(130);
    connection_.server->connect(*connection_.params);
    at(140);
    connection_.list = connection_.server->registeredVmNames();
    at(150);
    if (connection_.list->count() == 0) {
      at(160);
      ui_.showMessage(kNoRegisteredMachines, MessageIcon::None);
      connection_.release(); // 170 - 220
      return false;
    }
    at(240);
    ui_.clearPickerList();
    at(250);
    const std::int64_t bound = connection_.list->count();
    for (std::int64_t i = 1; i <= bound; ++i) {
      at(260);
      ui_.appendToPickerList(connection_.list->item(static_cast<std::int32_t>(i)));
    }
    return true;
  }

  // Steps 280 to 350, failures skipped one statement at a time.
  void showPickerAndTakeName() {
    connection_.release(); // 290 - 310
    ignoringErrors([&] { ui_.setPickerCaption(kPickerCaptionPrefix + ui_.hostname()); });
    std::optional<std::wstring> picked;
    ignoringErrors([&] { picked = ui_.showPicker(); });
    if (picked && !picked->empty())
      ignoringErrors([&] { ui_.setVmName(*picked); });
  }

  // Step 410: the description, "(", the statement number with its leading blank, ")".
  void reportError(const std::wstring &description) {
    ignoringErrors([&] {
      ui_.showMessage(description + L"(" + numberText(statement_) + L")", MessageIcon::Stop);
    });
    connection_.release(); // 420 - 450
  }

  ListingUi &ui_;
  Automation &automation_;
  Connection connection_;
  int statement_ = 0;
};

} // namespace

void listVirtualMachines(ListingUi &ui, Automation &automation) { Listing(ui, automation).run(); }

} // namespace brennow::dialogs
