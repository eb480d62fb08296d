#include "dialogs/logic/listing.h"

#include <cstdint>
#include <memory>
#include <new>

#include "common/AutomationError.h"
#include "common/text.h"
#include "vmserver/UntrustedCertificate.h"

namespace brennow::dialogs {
namespace {

// The objects of one listing, released list first, then parameters, then server.
struct Connection {
  std::unique_ptr<vmserver::ConnectParams> params;
  std::unique_ptr<vmserver::Server> server;
  std::unique_ptr<PickerLines> list;

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

// The registered-machine list: each line shows the name it puts into the box.
class MachineLines final : public PickerLines {
public:
  explicit MachineLines(std::unique_ptr<vmserver::VmList> list) : list_(std::move(list)) {}
  std::int32_t count() override { return list_->count(); }
  PickerLine item(std::int32_t index) override {
    std::wstring name = list_->item(index);
    return {name, name};
  }

private:
  std::unique_ptr<vmserver::VmList> list_;
};

// The texts that name what is listed.
struct ListedTexts {
  const wchar_t *captionPrefix;
  const wchar_t *none;
};

ListedTexts textsFor(ListedObjects listed) {
  switch (listed) {
  case ListedObjects::Datastores:
    return {kDatastoresCaptionPrefix, kNoDatastores};
  case ListedObjects::Hosts:
    return {kHostsCaptionPrefix, kNoHosts};
  case ListedObjects::Machines:
    break;
  }
  return {kPickerCaptionPrefix, kNoRegisteredMachines};
}

class Listing {
public:
  Listing(ListingUi &ui, ListedObjects listed, const ListingAdapterMaker &makeAdapter)
      : ui_(ui), texts_(textsFor(listed)), makeAdapter_(makeAdapter) {}

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
    connectTrusting(username, password);
    at(140);
    connection_.list = adapter_.readLines(*connection_.server);
    at(150);
    if (connection_.list->count() == 0) {
      at(160);
      ui_.showMessage(texts_.none, MessageIcon::None);
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

  // Steps 80 to 130, from the start again once the user trusts the certificate the
  // server presented; a refused certificate ends the listing at 130.
  void connectTrusting(const std::wstring &username, const std::wstring &password) {
    for (;;) {
      try {
        connect(username, password);
        return;
      } catch (const vmserver::UntrustedCertificate &untrusted) {
        if (!userTrusts(untrusted))
          throw;
      }
      connection_.release();
      adapter_ = {};
    }
  }

  void connect(const std::wstring &username, const std::wstring &password) {
    at(80);
    adapter_ = makeAdapter_(ui_.trustedThumbprint());
    connection_.params = adapter_.automation->createConnectParams();
    at(90);
    connection_.server = adapter_.automation->createServer();
    at(100);
    connection_.params->setHostname(ui_.hostname());
    at(110);
    connection_.params->setUsername(username);
    at(120);
    connection_.params->setPassword(password);
    at(130);
    connection_.server->connect(*connection_.params);
  }

  // A certificate already trusted and refused all the same is not asked about again; one
  // the user declines ends the listing with what the listing needs.
  bool userTrusts(const vmserver::UntrustedCertificate &untrusted) {
    if (untrusted.thumbprint() == ui_.trustedThumbprint())
      return false;
    if (!ui_.askYesNo(trustQuestion(untrusted.thumbprint(), untrusted.pinnedMismatch())))
      throw AutomationError(untrusted.hresult(), untrustedForListing(untrusted.pinnedMismatch()));
    ui_.trustThumbprint(untrusted.thumbprint());
    return true;
  }

  // Steps 280 to 350, failures skipped one statement at a time.
  void showPickerAndTakeName() {
    connection_.release(); // 290 - 310
    ignoringErrors([&] { ui_.setPickerCaption(texts_.captionPrefix + ui_.hostname()); });
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
  ListedTexts texts_;
  const ListingAdapterMaker &makeAdapter_;
  // Declared before the connection, which goes first.
  ListingAdapter adapter_;
  Connection connection_;
  int statement_ = 0;
};

} // namespace

std::wstring trustQuestion(const std::wstring &thumbprint, bool pinnedMismatch) {
  // Lines of eight pairs: a message box cuts a word too long for it instead of wrapping.
  std::wstring pairs;
  for (std::size_t i = 0; i < thumbprint.size(); i += 2)
    pairs += (i == 0 ? L"" : i % 16 == 0 ? L"\n" : L":") + thumbprint.substr(i, 2);
  const std::wstring situation =
      pinnedMismatch ? L"The server's certificate no longer matches the thumbprint trusted so far."
                     : L"The server's certificate is not trusted.";
  return situation + L"\n\nSHA-256 thumbprint of the certificate the server presents:\n" + pairs +
         L"\n\nTrust this certificate for this check?";
}

std::wstring untrustedForListing(bool pinnedMismatch) {
  const std::wstring situation =
      pinnedMismatch ? L"The server's certificate no longer matches the thumbprint trusted so far"
                     : L"The server's certificate is not trusted";
  return situation + L", and the listing needs it trusted: press \"...\" again and answer Yes "
                     L"to trust it";
}

void listVirtualMachines(ListingUi &ui, const AutomationMaker &makeAutomation) {
  listObjects(ui, ListedObjects::Machines, [&](const std::wstring &thumbprint) {
    return ListingAdapter{makeAutomation(thumbprint), [](vmserver::Server &connected) {
                            return std::make_unique<MachineLines>(connected.registeredVmNames());
                          }};
  });
}

void listObjects(ListingUi &ui, ListedObjects listed, const ListingAdapterMaker &makeAdapter) {
  Listing(ui, listed, makeAdapter).run();
}

} // namespace brennow::dialogs
