#pragma once
// The registered-machine list. It shares the inventory it was read from, so it
// keeps working after the server object that made it is gone.
#include "standin/DispatchObject.h"
#include "standin/Guids.h"
#include "standin/Session.h"

namespace standin {

class ListObject final : public DispatchObject<ListObject, iidMachineList> {
public:
  explicit ListObject(Session session) noexcept;

private:
  Variant invoke(const Call &call) override;
  Variant item(const Call &call);
  Variant count();

  Session session_;
};

} // namespace standin
