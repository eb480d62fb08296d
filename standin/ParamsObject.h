#pragma once
// The connection-parameters object: host name, user name and password as text.
#include "standin/DispatchObject.h"
#include "standin/Guids.h"
#include "standin/Session.h"

namespace standin {

// Answered only by the stand-in's own parameters objects, so that the server and machine
// objects can recognise the parameters they are handed.
inline constexpr IID iidOwnParams = {
    0x8d5c84d0, 0x6336, 0x4b47, {0x9d, 0x37, 0xf0, 0x11, 0x0c, 0x3a, 0x26, 0x4d}};

class ParamsObject final : public DispatchObject<ParamsObject, iidConnectParams, iidOwnParams> {
public:
  ParamsObject() noexcept;

  Credentials credentials() const { return credentials_; }

  // The parameters object behind an argument (by reference or not), or null.
  static Microsoft::WRL::ComPtr<ParamsObject> fromArgument(const VARIANT &argument);

private:
  Variant invoke(const Call &call) override;
  std::wstring &field(DISPID member);

  Credentials credentials_;
};

} // namespace standin
