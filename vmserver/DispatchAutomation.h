#pragma once
// The server adapter over the virtualization server's COM automation component. Objects
// are created by class id, held by their documented interface ids and called late-bound
// through IDispatch by member name, so the component does not depend on vtable layouts.
#include "vmserver/VMServer.h"

namespace brennow::vmserver {

class DispatchAutomation final : public Automation {
public:
  std::unique_ptr<ConnectParams> createConnectParams() override;
  std::unique_ptr<Server> createServer() override;
  std::unique_ptr<Machine> createMachine() override;
};

} // namespace brennow::vmserver
