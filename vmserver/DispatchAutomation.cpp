#include "vmserver/DispatchAutomation.h"

#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <initializer_list>
#include <string>

#include "common/AutomationError.h"
#include "common/win/automation.h"

using Microsoft::WRL::ComPtr;

namespace brennow::vmserver {
namespace {

constexpr CLSID kConnectParamsClass = {
    0x38F2D4CF, 0xC6EA, 0x4BA1, {0xBA, 0x4E, 0x0C, 0x1D, 0x68, 0x84, 0xFD, 0x97}};
constexpr IID kConnectParamsInterface = {
    0xACFD1CE6, 0x34FE, 0x4028, {0xA7, 0x96, 0xD1, 0xF0, 0x3A, 0x9C, 0x74, 0xF3}};
constexpr CLSID kServerClass = {
    0x74FF4B77, 0x1247, 0x4797, {0xBA, 0x08, 0xD4, 0xE9, 0xF2, 0xA1, 0xDC, 0xF9}};
constexpr IID kServerInterface = {
    0x52284452, 0x032D, 0x4F6C, {0xA0, 0x0D, 0x99, 0x60, 0x10, 0x6F, 0x2B, 0x33}};
constexpr IID kVmListInterface = {
    0x70A96509, 0x27B8, 0x4198, {0xA3, 0x65, 0x42, 0x74, 0x80, 0x4E, 0x7D, 0x1C}};
constexpr CLSID kMachineClass = {
    0x38DB77F9, 0x058D, 0x4955, {0x98, 0xAA, 0x4A, 0x9F, 0x3B, 0x6A, 0x5B, 0x06}};
constexpr IID kMachineInterface = {
    0xC48A8F14, 0xD1EA, 0x468E, {0xA0, 0xD8, 0x59, 0xE0, 0xDF, 0xD6, 0x01, 0xE5}};

// One object of the automation component, called by member name.
class LateBound {
public:
  explicit LateBound(ComPtr<IDispatch> object) : object_(std::move(object)) {}

  // Creates the object by class id and holds it by the documented interface id.
  static LateBound create(REFCLSID clsid, REFIID heldInterface) {
    ComPtr<IUnknown> created;
    SetErrorInfo(0, nullptr);
    win::throwIfFailed(CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_PPV_ARGS(&created)));
    return hold(created.Get(), heldInterface);
  }

  // Holds `object` by `heldInterface`; the interface is dual, so it is an IDispatch.
  static LateBound hold(IUnknown *object, REFIID heldInterface) {
    // QueryInterface hands over one reference; ComPtr::Attach would add another.
    ComPtr<IDispatch> dispatch;
    SetErrorInfo(0, nullptr);
    win::throwIfFailed(
        object->QueryInterface(heldInterface, reinterpret_cast<void **>(dispatch.GetAddressOf())));
    return LateBound(std::move(dispatch));
  }

  IDispatch *dispatch() const noexcept { return object_.Get(); }

  // Invokes `member`; arguments in call order. The result goes to `result` when given.
  void invoke(const wchar_t *member, WORD flags, std::initializer_list<VARIANT> arguments,
              VARIANT *result = nullptr) {
    win::callByName(object_.Get(), member, flags, {arguments.begin(), arguments.size()}, result);
  }

  void putText(const wchar_t *member, const std::wstring &text) {
    const win::Bstr value(text);
    invoke(member, DISPATCH_PROPERTYPUT, {win::textArgument(value)});
  }

  std::int32_t getInt32(const wchar_t *member) {
    win::Variant result;
    invoke(member, DISPATCH_PROPERTYGET, {}, result.get());
    win::throwIfFailed(VariantChangeType(result.get(), result.get(), 0, VT_I4));
    return V_I4(result.get());
  }

private:
  ComPtr<IDispatch> object_;
};

class DispatchConnectParams final : public ConnectParams {
public:
  DispatchConnectParams()
      : object_(LateBound::create(kConnectParamsClass, kConnectParamsInterface)) {}
  void setHostname(const std::wstring &hostname) override {
    object_.putText(L"Hostname", hostname);
  }
  void setUsername(const std::wstring &username) override {
    object_.putText(L"Username", username);
  }
  void setPassword(const std::wstring &password) override {
    object_.putText(L"Password", password);
  }
  const LateBound &object() const noexcept { return object_; }

private:
  LateBound object_;
};

VARIANT paramsArgument(ConnectParams &params) {
  return win::objectArgument(static_cast<DispatchConnectParams &>(params).object().dispatch());
}

class DispatchVmList final : public VmList {
public:
  explicit DispatchVmList(LateBound object) : object_(std::move(object)) {}

  std::wstring item(std::int32_t index) override {
    win::Variant result;
    object_.invoke(L"Item", DISPATCH_PROPERTYGET, {win::int32Argument(index)}, result.get());
    return win::variantText(*result.get());
  }
  std::int32_t count() override { return object_.getInt32(L"Count"); }

private:
  LateBound object_;
};

class DispatchServer final : public Server {
public:
  DispatchServer() : object_(LateBound::create(kServerClass, kServerInterface)) {}

  void connect(ConnectParams &params) override {
    object_.invoke(L"Connect", DISPATCH_METHOD, {paramsArgument(params)});
  }

  std::unique_ptr<VmList> registeredVmNames() override {
    win::Variant result;
    object_.invoke(L"RegisteredVmNames", DISPATCH_PROPERTYGET, {}, result.get());
    const VARTYPE type = V_VT(result.get());
    IUnknown *list = type == VT_DISPATCH  ? V_DISPATCH(result.get())
                     : type == VT_UNKNOWN ? V_UNKNOWN(result.get())
                                          : nullptr;
    if (!list)
      throw runtimeError(kObjectRequired);
    return std::make_unique<DispatchVmList>(LateBound::hold(list, kVmListInterface));
  }

private:
  LateBound object_;
};

class DispatchMachine final : public Machine {
public:
  DispatchMachine() : object_(LateBound::create(kMachineClass, kMachineInterface)) {}

  void connect(ConnectParams &params, const std::wstring &vmName) override {
    const win::Bstr name(vmName);
    object_.invoke(L"Connect", DISPATCH_METHOD, {paramsArgument(params), win::textArgument(name)});
  }
  std::int32_t executionState() override { return object_.getInt32(L"ExecutionState"); }

private:
  LateBound object_;
};

} // namespace

std::unique_ptr<ConnectParams> DispatchAutomation::createConnectParams() {
  return std::make_unique<DispatchConnectParams>();
}
std::unique_ptr<Server> DispatchAutomation::createServer() {
  return std::make_unique<DispatchServer>();
}
std::unique_ptr<Machine> DispatchAutomation::createMachine() {
  return std::make_unique<DispatchMachine>();
}

} // namespace brennow::vmserver
