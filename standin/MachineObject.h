#pragma once
// The machine object: binds to one registered machine of a host and reads its
// execution state.
#include "standin/DispatchObject.h"
#include "standin/Guids.h"
#include "standin/Session.h"

namespace standin {

class MachineObject final : public DispatchObject<MachineObject, iidMachineHeld, iidMachine> {
public:
  MachineObject() noexcept;

private:
  Variant invoke(const Call &call) override;
  Variant connect(const Call &call);
  Variant executionState();

  Session session_;
  const Machine *machine_ = nullptr;
};

} // namespace standin
