#pragma once
// The connection-parameters object: host name, user name and password as text.
#include "standin/DispatchObject.h"
#include "standin/Session.h"

namespace standin {

class ParamsObject final : public DispatchObject {
public:
  ParamsObject() noexcept;

  Credentials credentials() const { return credentials_; }

  // The parameters object behind an argument (by reference or not), or null.
  static Microsoft::WRL::ComPtr<ParamsObject> fromArgument(const VARIANT &argument);

private:
  Variant invoke(const Call &call) override;
  void *implementation(REFIID iid) noexcept override;
  std::wstring &field(DISPID member);

  Credentials credentials_;
};

} // namespace standin

// Lets the server and machine objects recognise parameters objects of their own making.
__CRT_UUID_DECL(standin::ParamsObject, 0x8d5c84d0, 0x6336, 0x4b47, 0x9d, 0x37, 0xf0, 0x11, 0x0c,
                0x3a, 0x26, 0x4d)
