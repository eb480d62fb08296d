#include "standin/ServerObject.h"

#include "standin/Environment.h"
#include "standin/ListObject.h"
#include "standin/ParamsObject.h"

namespace standin {

namespace {

enum : DISPID { connectId = 1, registeredVmNamesId };

constexpr Member members[] = {
    {L"Connect", connectId, DISPATCH_METHOD, 1},
    {L"RegisteredVmNames", registeredVmNamesId, DISPATCH_PROPERTYGET, 0},
};

const ObjectKind kind{L"server", iidServer, members};

} // namespace

ServerObject::ServerObject() noexcept : DispatchObject(kind) {}

Variant ServerObject::invoke(const Call &call) {
  if (call.member() == connectId)
    return connect(call);
  return registeredVmNames();
}

Variant ServerObject::connect(const Call &call) {
  const auto params = ParamsObject::fromArgument(call.argument(0));
  if (!params)
    throw ArgumentError{DISP_E_TYPEMISMATCH, call.rgvargIndex(0)};
  log(L"server.Connect");
  session_.reset();
  const auto inventory = take(loadInventory());
  const auto credentials = params->credentials();
  waitFor(*inventory, inventory->findHost(credentials.host), Operation::connect);
  auto session = take(logIn(inventory, credentials));
  raise(session.host->connectFault);
  session_ = std::move(session);
  return {};
}

Variant ServerObject::registeredVmNames() {
  log(L"server.RegisteredVmNames");
  if (!session_)
    throw immediateFault(faultCode::notConnected, L"Not connected to a server");
  waitFor(*session_->inventory, session_->host, Operation::list);
  raise(session_->host->listFault);
  return Variant::fromDispatch(ListObject::make(*session_).Get());
}

} // namespace standin
