// The plug-in object: four host-held properties, the check and the settings dialog.
// IDispatch is served by the embedded type library.
#include "component/vmwarecom.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <memory>
#include <new>
#include <string>

#include "common/AutomationError.h"
#include "common/win/ComObject.h"
#include "common/win/automation.h"
#include "component/brennow_h.h"
#include "component/check.h"
#include "component/vsphereCheck.h"
#include "common/win/inproc.h"
#include "dialogs/frmmain.h"
#include "params/AnsiCodePage.h"
#include "vmserver/ServerChoice.h"
#include "vmserver/makeAutomation.h"

using Microsoft::WRL::ComPtr;

namespace brennow {
namespace {

constexpr wchar_t kErrorSource[] = L"brennow.vmwarecom";

// Runs an accessor body, turning a thrown AutomationError into the HRESULT with the
// thread's error information set, as automation hosts expect.
template <typename Body> HRESULT guarded(Body &&body) noexcept {
  try {
    body();
    return S_OK;
  } catch (const AutomationError &error) {
    win::setErrorInfo(IID__vmwarecom, kErrorSource, error.description());
    return error.hresult();
  } catch (const std::bad_alloc &) {
    win::setErrorInfo(IID__vmwarecom, kErrorSource, L"Out of memory");
    return E_OUTOFMEMORY;
  } catch (...) {
    win::setErrorInfo(IID__vmwarecom, kErrorSource, L"Unexpected failure");
    return E_UNEXPECTED;
  }
}

// One host-held property: stored unchanged, without checks or conversion.
class Property {
public:
  // Let: a copy of the value, by-reference variants resolved.
  void let(const VARIANT &value) {
    win::Variant copy;
    win::throwIfFailed(VariantCopyInd(copy.get(), win::source(value)));
    replaceWith(copy);
  }

  // Set: an object reference (Nothing included); anything else is "Object required".
  void set(const VARIANT &value) {
    win::Variant copy;
    win::throwIfFailed(VariantCopyInd(copy.get(), win::source(value)));
    const VARTYPE type = V_VT(copy.get());
    if (type != VT_DISPATCH && type != VT_UNKNOWN)
      throw runtimeError(kObjectRequired);
    replaceWith(copy);
  }

  // Get: the same object for an object, otherwise a copy of the value.
  void get(VARIANT *result) const {
    win::Variant copy;
    win::throwIfFailed(VariantCopy(copy.get(), win::source(*value_.get())));
    copy.detachTo(result);
  }

  const VARIANT &value() const noexcept { return *value_.get(); }

private:
  void replaceWith(win::Variant &copy) {
    VariantClear(value_.out());
    copy.detachTo(value_.out());
  }

  win::Variant value_;
};

class VmwareCom final
    : public win::ComObject<VmwareCom, win::Answers<_vmwarecom, IID_IDispatch>, ISupportErrorInfo> {
public:
  VmwareCom() { win::module::objectCreated(); }
  ~VmwareCom() { win::module::objectDestroyed(); }

  HRESULT initialize() {
    return guarded([&] {
      typeInfo_ = win::moduleTypeInfo(IID__vmwarecom);
      settingsDialog_ = std::make_unique<dialogs::frmmain>();
    });
  }

  // IDispatch, served by the type library.
  STDMETHODIMP GetTypeInfoCount(UINT *count) override {
    if (!count)
      return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo **info) override {
    if (!info)
      return E_POINTER;
    *info = nullptr;
    if (index != 0)
      return DISP_E_BADINDEX;
    return typeInfo_.CopyTo(info);
  }
  // Names and members belong to the one interface: any other `riid` is refused.
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR *names, UINT count, LCID, DISPID *ids) override {
    if (riid != IID_NULL)
      return DISP_E_UNKNOWNINTERFACE;
    return DispGetIDsOfNames(typeInfo_.Get(), names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS *params, VARIANT *result,
                      EXCEPINFO *exception, UINT *argError) override {
    if (riid != IID_NULL)
      return DISP_E_UNKNOWNINTERFACE;
    return typeInfo_->Invoke(static_cast<_vmwarecom *>(this), id, flags, params, result, exception,
                             argError);
  }

  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override {
    return iid == IID__vmwarecom ? S_OK : S_FALSE;
  }

  // _vmwarecom
  STDMETHODIMP qm_docheck(VARIANT_BOOL *answer) override;
  STDMETHODIMP qm_showGUI() override;

  STDMETHODIMP put_qm_result(VARIANT v) override { return let(result_, v); }
  STDMETHODIMP putref_qm_result(VARIANT v) override { return set(result_, v); }
  STDMETHODIMP get_qm_result(VARIANT *v) override { return get(result_, v); }
  STDMETHODIMP put_qm_parameter(VARIANT v) override { return let(parameter_, v); }
  STDMETHODIMP putref_qm_parameter(VARIANT v) override { return set(parameter_, v); }
  STDMETHODIMP get_qm_parameter(VARIANT *v) override { return get(parameter_, v); }
  STDMETHODIMP put_qm_timeout(VARIANT v) override { return let(timeout_, v); }
  STDMETHODIMP putref_qm_timeout(VARIANT v) override { return set(timeout_, v); }
  STDMETHODIMP get_qm_timeout(VARIANT *v) override { return get(timeout_, v); }
  STDMETHODIMP put_qm_hostname(VARIANT v) override { return let(hostname_, v); }
  STDMETHODIMP putref_qm_hostname(VARIANT v) override { return set(hostname_, v); }
  STDMETHODIMP get_qm_hostname(VARIANT *v) override { return get(hostname_, v); }

private:
  static HRESULT let(Property &property, const VARIANT &value) {
    return guarded([&] { property.let(value); });
  }
  static HRESULT set(Property &property, const VARIANT &value) {
    return guarded([&] { property.set(value); });
  }
  static HRESULT get(const Property &property, VARIANT *value) {
    if (!value)
      return E_POINTER;
    VariantInit(value);
    return guarded([&] { property.get(value); });
  }

  class Host;

  // The adapter the parameter string chooses. A value that cannot be taken as text
  // chooses nothing here: the check reports it at the statement that reads it.
  vmserver::ServerChoice serverChoice() const {
    const auto textOf = [](const Property &property) {
      try {
        return win::variantText(property.value());
      } catch (const AutomationError &) {
        return std::wstring();
      }
    };
    return vmserver::serverChoiceOf(textOf(parameter_), textOf(timeout_));
  }

  ComPtr<ITypeInfo> typeInfo_;
  // Storage order of the host-held fields.
  Property hostname_;
  Property timeout_;
  Property parameter_;
  Property result_;
  std::unique_ptr<dialogs::frmmain> settingsDialog_;
};

// The check's view of the object: copies of the stored values, and qm_result written
// through the object's own Let accessor.
class VmwareCom::Host final : public CheckHost {
public:
  explicit Host(VmwareCom &object) : object_(object) {}

  void copyTimeout() override {
    win::throwIfFailed(VariantCopy(timeout_.out(), win::source(object_.timeout_.value())));
  }
  void copyHostname() override {
    win::throwIfFailed(VariantCopy(hostname_.out(), win::source(object_.hostname_.value())));
  }
  std::wstring hostnameText() override { return win::variantText(*hostname_.get()); }
  std::wstring parameterText() override { return win::variantText(object_.parameter_.value()); }
  void setResult(const std::wstring &message) override {
    win::throwIfFailed(object_.put_qm_result(*win::Variant::fromText(message).get()));
  }

private:
  VmwareCom &object_;
  win::Variant timeout_;
  win::Variant hostname_;
};

STDMETHODIMP VmwareCom::qm_docheck(VARIANT_BOOL *answer) {
  if (!answer)
    return E_POINTER;
  *answer = VARIANT_FALSE;
  SetErrorInfo(0, nullptr); // whatever an earlier call left is not this check's failure
  try {
    Host host(*this);
    const vmserver::ServerChoice choice = serverChoice();
    bool up = false;
    if (vmserver::asksVSphereCheck(choice)) {
      up = runVSphereCheck(host, choice, vmserver::windowsVSpherePlatform(), systemAnsiCodePage());
    } else {
      const auto automation = vmserver::makeAutomation(choice);
      up = runCheck(host, *automation, systemAnsiCodePage());
    }
    *answer = up ? VARIANT_TRUE : VARIANT_FALSE;
  } catch (...) {
    // The check reports its own failures in qm_result; nothing reaches the host.
  }
  return S_OK;
}

STDMETHODIMP VmwareCom::qm_showGUI() {
  // The host may release the object from a message loop nested in the showing.
  ComPtr<_vmwarecom> keepAlive(this);
  SetErrorInfo(0, nullptr);
  return guarded([&] {
    const std::wstring timeoutText = win::variantText(timeout_.value());
    const std::wstring hostnameText = win::variantText(hostname_.value());
    const std::wstring parameterText = win::variantText(parameter_.value());
    if (auto newParameter = settingsDialog_->showSettings(timeoutText, hostnameText, parameterText))
      parameter_.let(*win::Variant::fromText(*newParameter).get());
  });
}

} // namespace

HRESULT createVmwareCom(REFIID iid, void **object) {
  try {
    const auto created = VmwareCom::make();
    const HRESULT hr = created->initialize();
    return FAILED(hr) ? hr : created->QueryInterface(iid, object);
  } catch (const std::bad_alloc &) {
    return E_OUTOFMEMORY;
  }
}

} // namespace brennow
