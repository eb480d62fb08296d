#pragma once
// The server object: connects with a parameters object and hands out the list of
// registered machines.
#include "standin/DispatchObject.h"
#include "standin/Guids.h"
#include "standin/Session.h"

#include <optional>

namespace standin {

class ServerObject final : public DispatchObject<ServerObject, iidServerHeld, iidServer> {
public:
  ServerObject() noexcept;

private:
  Variant invoke(const Call &call) override;
  Variant connect(const Call &call);
  Variant registeredVmNames();

  std::optional<Session> session_;
};

} // namespace standin
