#include "standin/DispatchObject.h"

#include "common/AutomationError.h"
#include "common/PerThread.h"
#include "common/win/inproc.h"

#include "standin/Environment.h"

#include <oleauto.h>

#include <algorithm>
#include <optional>

namespace standin {

namespace {

// The fault whose description waits for the caller's deferred fill-in, per thread:
// objects live in single-threaded apartments and the caller fills in right after the call.
// Fiber-local storage, not thread_local: a thread_local with a destructor hangs thread
// exit in a MinGW DLL under Wine.
std::optional<Fault> &pendingFault() {
  struct PendingFault : std::optional<Fault> {};
  return brennow::perThread<PendingFault>();
}

void fillExcepInfo(EXCEPINFO &info, const Fault &fault) noexcept {
  info = EXCEPINFO{};
  info.wCode = 0;
  info.scode = static_cast<SCODE>(fault.code);
  try {
    info.bstrSource = Bstr(errorSource).release();
    info.bstrDescription = Bstr(fault.description).release();
  } catch (const brennow::AutomationError &) {
    // Without memory for the texts the caller still gets the code.
  }
}

HRESULT STDMETHODCALLTYPE fillDeferred(EXCEPINFO *info) {
  if (!info)
    return E_POINTER;
  if (!pendingFault())
    return E_UNEXPECTED;
  fillExcepInfo(*info, *pendingFault());
  pendingFault().reset();
  return S_OK;
}

HRESULT setErrorInfo(REFIID iid, const Fault &fault) {
  Microsoft::WRL::ComPtr<ICreateErrorInfo> creator;
  HRESULT hr = CreateErrorInfo(&creator);
  if (FAILED(hr))
    return hr;
  creator->SetGUID(iid);
  creator->SetSource(const_cast<LPOLESTR>(errorSource));
  creator->SetDescription(const_cast<LPOLESTR>(fault.description.c_str()));
  Microsoft::WRL::ComPtr<IErrorInfo> info;
  hr = creator.As(&info);
  if (FAILED(hr))
    return hr;
  return SetErrorInfo(0, info.Get());
}

HRESULT reportFault(const Fault &fault, REFIID errorInterface, EXCEPINFO *exception) {
  switch (fault.style) {
  case FaultStyle::immediate:
    if (exception)
      fillExcepInfo(*exception, fault);
    return DISP_E_EXCEPTION;
  case FaultStyle::deferred:
    if (exception) {
      *exception = EXCEPINFO{};
      pendingFault() = fault;
      exception->pfnDeferredFillIn = fillDeferred;
    }
    return DISP_E_EXCEPTION;
  case FaultStyle::errorInfo:
    setErrorInfo(errorInterface, fault);
    return static_cast<HRESULT>(fault.code);
  }
  return E_UNEXPECTED;
}

bool sameNameIgnoringCase(const wchar_t *left, const wchar_t *right) {
  return CompareStringOrdinal(left, -1, right, -1, TRUE) == CSTR_EQUAL;
}

// Checks the argument shape of a put: exactly the value, named DISPID_PROPERTYPUT.
HRESULT checkPutArguments(const DISPPARAMS &params) {
  if (params.cNamedArgs != 1 || params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
    return DISP_E_PARAMNOTFOUND;
  if (params.cArgs != 1)
    return DISP_E_BADPARAMCOUNT;
  return S_OK;
}

HRESULT checkPositionalArguments(const DISPPARAMS &params, const Member &member) {
  if (params.cNamedArgs != 0)
    return DISP_E_NONAMEDARGS;
  if (params.cArgs != member.argumentCount)
    return DISP_E_BADPARAMCOUNT;
  return S_OK;
}

} // namespace

std::wstring Call::textAt(UINT position) const {
  Variant converted;
  const HRESULT hr = changeType(params_.rgvarg[position], VT_BSTR, converted);
  if (FAILED(hr))
    throw ArgumentError{hr, position};
  return std::wstring(V_BSTR(converted.get()), SysStringLen(V_BSTR(converted.get())));
}

LONG Call::int32(UINT argument) const {
  Variant converted;
  const HRESULT hr = changeType(this->argument(argument), VT_I4, converted);
  if (FAILED(hr))
    throw ArgumentError{hr, rgvargIndex(argument)};
  return V_I4(converted.get());
}

void raise(const std::optional<Fault> &fault) {
  if (fault)
    throw *fault;
}

Dispatcher::Dispatcher(const ObjectKind &kind) noexcept : kind_(kind) {
  brennow::win::module::objectCreated();
  logLifecycle(L"create ");
}

Dispatcher::~Dispatcher() {
  logLifecycle(L"release ");
  brennow::win::module::objectDestroyed();
}

void Dispatcher::log(std::wstring_view operation) const { logOperation(operation); }

void Dispatcher::logLifecycle(const wchar_t *event) const noexcept {
  try {
    logOperation(std::wstring(event) + kind_.name);
  } catch (...) {
    // A log line lost for want of memory must not take the object's life with it.
  }
}

HRESULT Dispatcher::typeInfoCount(UINT *count) const noexcept {
  if (!count)
    return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT Dispatcher::typeInfo(ITypeInfo **info) const noexcept {
  if (info)
    *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT Dispatcher::idsOfNames(REFIID iid, LPOLESTR *names, UINT count,
                               DISPID *ids) const noexcept {
  if (iid != IID_NULL)
    return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids || count == 0)
    return E_INVALIDARG;
  // Only the member name can be known: no member has named parameters.
  std::fill(ids, ids + count, DISPID_UNKNOWN);
  const auto found = std::find_if(kind_.members.begin(), kind_.members.end(), [&](const Member &m) {
    return names[0] && sameNameIgnoringCase(names[0], m.name);
  });
  if (found == kind_.members.end())
    return DISP_E_UNKNOWNNAME;
  ids[0] = found->id;
  return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

const Member *Dispatcher::memberWithId(DISPID id) const noexcept {
  const auto found = std::find_if(kind_.members.begin(), kind_.members.end(),
                                  [&](const Member &m) { return m.id == id; });
  return found == kind_.members.end() ? nullptr : &*found;
}

HRESULT Dispatcher::dispatch(DISPID id, REFIID iid, WORD flags, DISPPARAMS *params, VARIANT *result,
                             EXCEPINFO *exception, UINT *argumentError) {
  if (iid != IID_NULL)
    return DISP_E_UNKNOWNINTERFACE;
  if (!params)
    return E_POINTER;
  const Member *member = memberWithId(id);
  if (!member || (flags & member->invokeKinds) == 0)
    return DISP_E_MEMBERNOTFOUND;
  const bool put = (flags & member->invokeKinds & DISPATCH_PROPERTYPUT) != 0;
  const HRESULT shape =
      put ? checkPutArguments(*params) : checkPositionalArguments(*params, *member);
  if (FAILED(shape))
    return shape;
  // A successful call leaves no stale error information behind.
  SetErrorInfo(0, nullptr);
  return runCall(Call(id, put, *params), result, exception, argumentError);
}

HRESULT Dispatcher::runCall(const Call &call, VARIANT *result, EXCEPINFO *exception,
                            UINT *argumentError) {
  try {
    Variant answer = invoke(call);
    if (result && !call.isPut())
      answer.detachTo(result);
    return S_OK;
  } catch (const Fault &fault) {
    return reportFault(fault, kind_.errorInterface, exception);
  } catch (const ArgumentError &error) {
    if (argumentError)
      *argumentError = error.position;
    return error.code;
  } catch (const brennow::AutomationError &error) {
    return error.hresult(); // a text that found no memory
  } catch (const std::bad_alloc &) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

} // namespace standin
