// The stand-in virtualization server, loaded through its registration and driven
// late-bound (GetIDsOfNames + Invoke), the way the component's adapter drives the
// real automation component.
#include "common/win/registry.h"
#include "standin/ComValues.h"
#include "standin/Guids.h"
#include "standin/Session.h"
#include "tests/wine/wintest.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using Microsoft::WRL::ComPtr;
using standin::Variant;
namespace faultCode = standin::faultCode;
namespace fs = std::filesystem;

// ---------------------------------------------------------------- values and calls

Variant text(std::wstring_view value) { return Variant::fromText(value); }
Variant int32(LONG value) { return Variant::fromInt32(value); }
Variant object(IDispatch *value) { return Variant::fromDispatch(value); }

Variant unknown(IUnknown *value) {
  Variant result;
  V_VT(result.get()) = VT_UNKNOWN;
  V_UNKNOWN(result.get()) = ComPtr<IUnknown>(value).Detach();
  return result;
}

// By-reference variants point at storage the caller keeps alive during the call.
Variant dispatchByReference(IDispatch **target) {
  Variant result;
  V_VT(result.get()) = VT_BYREF | VT_DISPATCH;
  V_DISPATCHREF(result.get()) = target;
  return result;
}

Variant variantByReference(VARIANT *target) {
  Variant result;
  V_VT(result.get()) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(result.get()) = target;
  return result;
}

Variant int32ByReference(LONG *target) {
  Variant result;
  V_VT(result.get()) = VT_BYREF | VT_I4;
  V_I4REF(result.get()) = target;
  return result;
}

template <VARTYPE type, typename T> Variant typed(T value) {
  Variant result;
  V_VT(result.get()) = type;
  if constexpr (type == VT_I2)
    V_I2(result.get()) = value;
  else if constexpr (type == VT_UI1)
    V_UI1(result.get()) = value;
  else if constexpr (type == VT_I8)
    V_I8(result.get()) = value;
  return result;
}

// What one Invoke returned, owning whatever the callee handed back.
struct Reply {
  HRESULT hr = E_UNEXPECTED;
  Variant value;
  brennow::win::ExcepInfo exception;
  UINT argumentError = UINT_MAX;

  const EXCEPINFO &excepInfo() const noexcept { return exception.info(); }
  std::wstring source() const { return exception.source(); }
  std::wstring description() const { return exception.description(); }
  std::optional<std::wstring> text() const {
    if (V_VT(value.get()) != VT_BSTR)
      return std::nullopt;
    return std::wstring(V_BSTR(value.get()), SysStringLen(V_BSTR(value.get())));
  }
  std::optional<LONG> int32() const {
    if (V_VT(value.get()) != VT_I4)
      return std::nullopt;
    return V_I4(value.get());
  }
};

DISPID dispidOf(IDispatch *target, const wchar_t *name) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  EXPECT_EQ(target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << name;
  return id;
}

// Invokes `name` with the arguments in the caller's order.
template <typename... Arguments>
Reply invoke(IDispatch *target, const wchar_t *name, WORD flags, Arguments &&...arguments) {
  std::vector<Variant> owned;
  (owned.push_back(std::forward<Arguments>(arguments)), ...);
  std::vector<VARIANT> borrowed;
  for (const auto &argument : owned)
    borrowed.push_back(*argument.get());
  Reply reply;
  reply.hr = brennow::win::invokeByName(target, name, flags, borrowed, reply.value.get(),
                                        reply.exception, &reply.argumentError);
  EXPECT_NE(reply.hr, DISP_E_UNKNOWNNAME) << "no member " << wintest::toUtf8(name);
  return reply;
}

template <typename... Arguments>
Reply get(IDispatch *target, const wchar_t *name, Arguments &&...arguments) {
  return invoke(target, name, DISPATCH_PROPERTYGET, std::forward<Arguments>(arguments)...);
}

template <typename... Arguments>
Reply call(IDispatch *target, const wchar_t *name, Arguments &&...arguments) {
  return invoke(target, name, DISPATCH_METHOD, std::forward<Arguments>(arguments)...);
}

Reply put(IDispatch *target, const wchar_t *name, Variant value) {
  return invoke(target, name, DISPATCH_PROPERTYPUT, std::move(value));
}

ComPtr<IDispatch> create(const CLSID &clsid, const IID &held) {
  ComPtr<IUnknown> created;
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &created), S_OK);
  ComPtr<IDispatch> dispatch;
  if (created) {
    EXPECT_EQ(created->QueryInterface(held, &dispatch), S_OK);
  }
  return dispatch;
}

// The object a successful get returned, asked for `iid`.
ComPtr<IDispatch> returnedObject(const Reply &reply, const IID &iid) {
  ComPtr<IDispatch> result;
  if (V_VT(reply.value.get()) == VT_DISPATCH && V_DISPATCH(reply.value.get())) {
    EXPECT_EQ(V_DISPATCH(reply.value.get())->QueryInterface(iid, &result), S_OK);
  } else {
    ADD_FAILURE() << "no object returned, variant type " << V_VT(reply.value.get());
  }
  return result;
}

// ---------------------------------------------------------------- the loaded DLL

template <typename Function> Function standinExport(const char *name) {
  HMODULE dll = GetModuleHandleW(L"vmstandin.dll");
  if (!dll)
    return nullptr;
  // Through void (*)(): GetProcAddress's own type says nothing of the real signature.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
}

using CanUnloadFunction = HRESULT(WINAPI *)();

using wintest::standinLiveObjects;

// ---------------------------------------------------------------- accounts

struct Account {
  std::wstring host = L"srv1";
  std::wstring user = L"alice";
  std::wstring password = L"secret";
};

std::wstring accountLines(const Account &account) {
  return L"host " + account.host + L"\nuser " + account.user + L"\npassword " + account.password +
         L"\n";
}

// ---------------------------------------------------------------- objects

ComPtr<IDispatch> params(const Account &account = {}) {
  auto created = create(standin::clsidConnectParams, standin::iidConnectParams);
  EXPECT_EQ(put(created.Get(), L"Hostname", text(account.host)).hr, S_OK);
  EXPECT_EQ(put(created.Get(), L"Username", text(account.user)).hr, S_OK);
  EXPECT_EQ(put(created.Get(), L"Password", text(account.password)).hr, S_OK);
  return created;
}

ComPtr<IDispatch> server() { return create(standin::clsidServer, standin::iidServerHeld); }
ComPtr<IDispatch> machine() { return create(standin::clsidMachine, standin::iidMachineHeld); }

// Connects a new server object and returns its registered-machine list.
ComPtr<IDispatch> listOf(IDispatch *connectionParams) {
  const auto connected = server();
  const auto connect = call(connected.Get(), L"Connect", object(connectionParams));
  EXPECT_EQ(connect.hr, S_OK) << connect.description();
  const auto names = get(connected.Get(), L"RegisteredVmNames");
  EXPECT_EQ(names.hr, S_OK) << names.description();
  return returnedObject(names, standin::iidMachineList);
}

// ---------------------------------------------------------------- fixture

class StandinTest : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  }

  void TearDown() override {
    EXPECT_EQ(standinLiveObjects(), 0) << "a stand-in object outlived its last reference";
    CoUninitialize();
  }

  // The file the stand-in reads its inventory from.
  static std::wstring inventoryPath() {
    return standin::environmentValue(L"BRENNOW_STANDIN_INVENTORY").value_or(L"");
  }

  wintest::StandinFiles files_{"standin"};
};

// Checks an immediate report: DISP_E_EXCEPTION with every field filled in.
void expectImmediate(const Reply &reply, std::uint32_t code, const std::wstring &description) {
  EXPECT_EQ(reply.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(reply.excepInfo().pfnDeferredFillIn, nullptr);
  EXPECT_EQ(reply.excepInfo().wCode, 0);
  EXPECT_EQ(static_cast<std::uint32_t>(reply.excepInfo().scode), code);
  EXPECT_EQ(reply.source(), L"vmstandin");
  EXPECT_EQ(reply.description(), description);
}

// ---------------------------------------------------------------- registration and identity

struct RegisteredClass {
  const CLSID *clsid;
  const IID *held;
  std::vector<const IID *> answered;
};

const RegisteredClass registeredClasses[] = {
    {&standin::clsidConnectParams, &standin::iidConnectParams, {&standin::iidConnectParams}},
    {&standin::clsidServer,
     &standin::iidServerHeld,
     {&standin::iidServerHeld, &standin::iidServer}},
    {&standin::clsidMachine,
     &standin::iidMachineHeld,
     {&standin::iidMachineHeld, &standin::iidMachine}},
};

const IID *const contractInterfaces[] = {
    &standin::iidConnectParams, &standin::iidServerHeld,  &standin::iidServer,
    &standin::iidMachineList,   &standin::iidMachineHeld, &standin::iidMachine,
};

using wintest::registryKeyExists;
using wintest::registryText;

// Points this process's HKEY_CLASSES_ROOT at a scratch key while it lives, so that
// self-registration can be tried without touching the prefix's real registration.
class ScratchClassesRoot {
public:
  ScratchClassesRoot()
      : path_(L"Software\\brennow-standin-tests-" + std::to_wstring(GetCurrentProcessId())) {
    EXPECT_EQ(key_.create(HKEY_CURRENT_USER, path_, KEY_ALL_ACCESS), ERROR_SUCCESS);
    EXPECT_EQ(RegOverridePredefKey(HKEY_CLASSES_ROOT, key_.get()), ERROR_SUCCESS);
  }
  ScratchClassesRoot(const ScratchClassesRoot &) = delete;
  ScratchClassesRoot &operator=(const ScratchClassesRoot &) = delete;
  ~ScratchClassesRoot() {
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    key_ = {};
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  }
  HKEY key() const noexcept { return key_.get(); }

private:
  std::wstring path_;
  brennow::win::RegistryKey key_;
};

std::wstring classKey(const CLSID &clsid) { return L"CLSID\\" + wintest::guidText(clsid); }

bool endsWithIgnoringCase(const std::wstring &text, std::wstring_view tail) {
  return text.size() >= tail.size() &&
         CompareStringOrdinal(text.c_str() + text.size() - tail.size(),
                              static_cast<int>(tail.size()), tail.data(),
                              static_cast<int>(tail.size()), TRUE) == CSTR_EQUAL;
}

TEST_F(StandinTest, EveryClassIsRegisteredAsAnApartmentInprocServerNamedAsStandIn) {
  for (const auto &registered : registeredClasses) {
    const auto key = classKey(*registered.clsid);
    SCOPED_TRACE(key);
    EXPECT_NE(registryText(key).value_or(L"").find(L"test stand-in"), std::wstring::npos);
    const auto path = registryText(key + L"\\InprocServer32").value_or(L"");
    EXPECT_TRUE(endsWithIgnoringCase(path, L"\\vmstandin.dll")) << path;
    EXPECT_TRUE(fs::exists(fs::path(path))) << path;
    EXPECT_EQ(registryText(key + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
  }
}

TEST_F(StandinTest, SelfRegistrationWritesTheLoadedDllAndUnregistrationRemovesIt) {
  const auto loaded = server();
  using EntryPoint = HRESULT(WINAPI *)();
  const auto registerServer = standinExport<EntryPoint>("DllRegisterServer");
  const auto unregisterServer = standinExport<EntryPoint>("DllUnregisterServer");
  ASSERT_TRUE(registerServer && unregisterServer);
  const auto dll = wintest::modulePath(GetModuleHandleW(L"vmstandin.dll"));
  {
    ScratchClassesRoot scratch;
    ASSERT_EQ(registerServer(), S_OK);
    for (const auto &registered : registeredClasses) {
      const auto key = classKey(*registered.clsid);
      SCOPED_TRACE(key);
      EXPECT_NE(registryText(key, nullptr, scratch.key()).value_or(L"").find(L"test stand-in"),
                std::wstring::npos);
      EXPECT_EQ(registryText(key + L"\\InprocServer32", nullptr, scratch.key()), dll);
      EXPECT_EQ(registryText(key + L"\\InprocServer32", L"ThreadingModel", scratch.key()),
                L"Apartment");
    }
    ASSERT_EQ(unregisterServer(), S_OK);
    for (const auto &registered : registeredClasses)
      EXPECT_FALSE(registryKeyExists(classKey(*registered.clsid), scratch.key()));
    EXPECT_TRUE(registryKeyExists(L"CLSID", scratch.key())) << "only the classes' own keys go";
    EXPECT_EQ(unregisterServer(), S_OK) << "unregistering twice is no error";
  }
  for (const auto &registered : registeredClasses)
    EXPECT_TRUE(registryKeyExists(classKey(*registered.clsid)));
}

TEST_F(StandinTest, EachObjectAnswersItsOwnInterfacesWithOneIDispatch) {
  for (const auto &registered : registeredClasses) {
    const auto created = create(*registered.clsid, *registered.held);
    ASSERT_TRUE(created);
    ComPtr<IUnknown> identity;
    ASSERT_EQ(created->QueryInterface(IID_IUnknown, &identity), S_OK);
    for (const IID *iid : contractInterfaces) {
      const bool answered = std::find(registered.answered.begin(), registered.answered.end(),
                                      iid) != registered.answered.end();
      ComPtr<IUnknown> asked;
      EXPECT_EQ(created->QueryInterface(*iid, &asked), answered ? S_OK : E_NOINTERFACE);
      if (answered) {
        EXPECT_EQ(asked.Get(), static_cast<IUnknown *>(created.Get()));
      }
    }
    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(identity->QueryInterface(IID_IDispatch, &dispatch), S_OK);
    EXPECT_EQ(dispatch.Get(), created.Get());
    UINT typeInfos = 99;
    EXPECT_EQ(created->GetTypeInfoCount(&typeInfos), S_OK);
    EXPECT_EQ(typeInfos, 0u);
  }
}

TEST_F(StandinTest, ClassesAreCreatedThroughDllGetClassObject) {
  const auto created = server(); // loads the DLL
  ComPtr<IClassFactory> factory;
  using GetClassObjectFunction = HRESULT(WINAPI *)(REFCLSID, REFIID, void **);
  const auto getClassObject = standinExport<GetClassObjectFunction>("DllGetClassObject");
  ASSERT_NE(getClassObject, nullptr);
  EXPECT_EQ(getClassObject(standin::iidServer, IID_IClassFactory, &factory),
            CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(getClassObject(standin::clsidMachine, IID_IClassFactory, &factory), S_OK);
  ComPtr<IDispatch> made;
  ComPtr<IUnknown> outer(created.Get());
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IDispatch, &made), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->CreateInstance(nullptr, standin::iidMachine, &made), S_OK);
  EXPECT_EQ(standinLiveObjects(), 2);
}

TEST_F(StandinTest, UnloadIsRefusedWhileAnObjectOrALockIsHeld) {
  auto held = params();
  const auto canUnload = standinExport<CanUnloadFunction>("DllCanUnloadNow");
  ASSERT_NE(canUnload, nullptr);
  EXPECT_EQ(standinLiveObjects(), 1);
  EXPECT_EQ(canUnload(), S_FALSE);
  held.Reset();
  EXPECT_EQ(standinLiveObjects(), 0);
  EXPECT_EQ(canUnload(), S_OK);

  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(standin::clsidServer, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             &factory),
            S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory.Reset();
  EXPECT_EQ(canUnload(), S_FALSE);
  ASSERT_EQ(CoGetClassObject(standin::clsidServer, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             &factory),
            S_OK);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  factory.Reset();
  EXPECT_EQ(canUnload(), S_OK);
}

TEST_F(StandinTest, LiveObjectCountIsExportedAtOrdinalFive) {
  const auto created = machine();
  HMODULE dll = GetModuleHandleW(L"vmstandin.dll");
  ASSERT_NE(dll, nullptr);
  EXPECT_EQ(GetProcAddress(dll, MAKEINTRESOURCEA(5)), GetProcAddress(dll, "StandinLiveObjects"));
  EXPECT_EQ(standinLiveObjects(), 1);
}

// ---------------------------------------------------------------- names and argument shapes

struct NamedMember {
  const CLSID *clsid;
  const IID *held;
  const wchar_t *spelling;
};

const NamedMember namedMembers[] = {
    {&standin::clsidConnectParams, &standin::iidConnectParams, L"hostname"},
    {&standin::clsidConnectParams, &standin::iidConnectParams, L"USERNAME"},
    {&standin::clsidConnectParams, &standin::iidConnectParams, L"PassWord"},
    {&standin::clsidServer, &standin::iidServerHeld, L"connect"},
    {&standin::clsidServer, &standin::iidServerHeld, L"registeredvmNAMES"},
    {&standin::clsidMachine, &standin::iidMachineHeld, L"CONNECT"},
    {&standin::clsidMachine, &standin::iidMachineHeld, L"executionstate"},
};

TEST_F(StandinTest, MemberNamesAreFoundWhateverTheirLetterCase) {
  for (const auto &member : namedMembers) {
    const auto created = create(*member.clsid, *member.held);
    LPOLESTR names[] = {const_cast<LPOLESTR>(member.spelling)};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(created->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK)
        << member.spelling;
    EXPECT_NE(id, DISPID_UNKNOWN) << member.spelling;
  }
  const auto created = server();
  LPOLESTR unknownName[] = {const_cast<LPOLESTR>(L"Disconnect")};
  DISPID id = 0;
  EXPECT_EQ(created->GetIDsOfNames(IID_NULL, unknownName, 1, LOCALE_USER_DEFAULT, &id),
            DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
}

TEST_F(StandinTest, ParameterTextsAreStoredAsPutAndConvertedFromOtherTypes) {
  const auto created = create(standin::clsidConnectParams, standin::iidConnectParams);
  EXPECT_EQ(put(created.Get(), L"Hostname", text(L" srv 1 ")).hr, S_OK);
  EXPECT_EQ(get(created.Get(), L"Hostname").text(), L" srv 1 ");
  EXPECT_EQ(put(created.Get(), L"Username", int32(42)).hr, S_OK);
  EXPECT_EQ(get(created.Get(), L"Username").text(), L"42");
  Variant referenced = text(L"by reference");
  EXPECT_EQ(put(created.Get(), L"Password", variantByReference(referenced.get())).hr, S_OK);
  EXPECT_EQ(get(created.Get(), L"Password").text(), L"by reference");
  EXPECT_EQ(put(created.Get(), L"Password", text(L"")).hr, S_OK);
  EXPECT_EQ(get(created.Get(), L"Password").text(), L"");
}

TEST_F(StandinTest, MalformedCallsAreRejectedWithTheDispatchErrors) {
  const auto connectionParams = create(standin::clsidConnectParams, standin::iidConnectParams);
  Variant null;
  V_VT(null.get()) = VT_NULL;
  const auto nullPut = put(connectionParams.Get(), L"Hostname", std::move(null));
  EXPECT_EQ(nullPut.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(nullPut.argumentError, 0u);

  // A put must name its value DISPID_PROPERTYPUT.
  Variant value = text(L"srv1");
  DISPPARAMS unnamed{value.get(), nullptr, 1, 0};
  EXPECT_EQ(connectionParams->Invoke(dispidOf(connectionParams.Get(), L"Hostname"), IID_NULL, 0,
                                     DISPATCH_PROPERTYPUT, &unnamed, nullptr, nullptr, nullptr),
            DISP_E_PARAMNOTFOUND);

  const auto connected = server();
  EXPECT_EQ(call(connected.Get(), L"Connect").hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(get(connected.Get(), L"Connect", object(connectionParams.Get())).hr,
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(put(connected.Get(), L"RegisteredVmNames", int32(1)).hr, DISP_E_MEMBERNOTFOUND);
  const auto notParams = call(connected.Get(), L"Connect", object(connected.Get()));
  EXPECT_EQ(notParams.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(notParams.argumentError, 0u);

  const auto unbound = machine();
  const auto wrongOrder =
      call(unbound.Get(), L"Connect", text(L"web01"), object(connectionParams.Get()));
  EXPECT_EQ(wrongOrder.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(wrongOrder.argumentError, 1u); // the first argument sits last in rgvarg
}

// ---------------------------------------------------------------- listing and states

struct Registered {
  std::int32_t state;
  std::wstring stateText; // as the inventory writes it
  std::wstring name;
};

const std::vector<Registered> registeredMachines = {
    {1, L"1", L"web01"},
    {2, L"2", L"db server 2"},
    {3, L"3", L"  leading and trailing  "},
    {0, L"0", L"Web01"},
    {-1, L"0xFFFFFFFF", L"web01"}, // listed twice: only the first is ever connected
    {4, L"4", L""},
    {INT32_MIN, L"-2147483648", L"Büro-VM ☃"},
    {INT32_MAX, L"2147483647", L"#not a comment"},
};

std::wstring registeredInventory() {
  std::wstring inventory = L"# two hosts, the first one empty\nhost empty\n" + accountLines({});
  for (const auto &machine : registeredMachines)
    inventory += L"  machine " + machine.stateText + L" " + machine.name + L"\n";
  return inventory;
}

TEST_F(StandinTest, ListGivesEveryRegisteredNameInOrder) {
  files_.writeInventory(registeredInventory());
  const auto list = listOf(params().Get());
  ASSERT_TRUE(list);
  EXPECT_EQ(get(list.Get(), L"Count").int32(), static_cast<LONG>(registeredMachines.size()));
  for (std::size_t i = 0; i < registeredMachines.size(); ++i) {
    const auto item = get(list.Get(), L"Item", int32(static_cast<LONG>(i + 1)));
    EXPECT_EQ(item.hr, S_OK);
    EXPECT_EQ(item.text(), registeredMachines[i].name) << "item " << i + 1;
  }
}

TEST_F(StandinTest, ItemIndexMayComeAsAnyIntegerTypeOrByReference) {
  files_.writeInventory(registeredInventory());
  const auto list = listOf(params().Get());
  ASSERT_TRUE(list);
  const auto &second = registeredMachines[1].name;
  EXPECT_EQ(get(list.Get(), L"Item", typed<VT_I2>(2)).text(), second);
  EXPECT_EQ(get(list.Get(), L"Item", typed<VT_UI1>(2)).text(), second);
  EXPECT_EQ(get(list.Get(), L"Item", typed<VT_I8>(2)).text(), second);
  LONG index = 2;
  EXPECT_EQ(get(list.Get(), L"Item", int32ByReference(&index)).text(), second);
  // VBScript asks for values with both flags set.
  EXPECT_EQ(invoke(list.Get(), L"Item", DISPATCH_METHOD | DISPATCH_PROPERTYGET, int32(2)).text(),
            second);
  EXPECT_EQ(invoke(list.Get(), L"Count", DISPATCH_METHOD | DISPATCH_PROPERTYGET).int32(),
            static_cast<LONG>(registeredMachines.size()));
}

TEST_F(StandinTest, ItemsOutsideTheListFail) {
  files_.writeInventory(registeredInventory());
  const auto list = listOf(params().Get());
  ASSERT_TRUE(list);
  const LONG past = static_cast<LONG>(registeredMachines.size()) + 1;
  for (LONG index : {0L, -1L, past}) {
    expectImmediate(get(list.Get(), L"Item", int32(index)), faultCode::indexOutOfRange,
                    L"Index out of range: " + std::to_wstring(index));
  }
}

TEST_F(StandinTest, EachMachineReportsItsStateCode) {
  files_.writeInventory(registeredInventory());
  const auto connectionParams = params();
  for (const auto &registered : registeredMachines) {
    const auto first = std::find_if(registeredMachines.begin(), registeredMachines.end(),
                                    [&](const Registered &m) { return m.name == registered.name; });
    SCOPED_TRACE(registered.name);
    const auto bound = machine();
    const auto connect =
        call(bound.Get(), L"Connect", object(connectionParams.Get()), text(registered.name));
    ASSERT_EQ(connect.hr, S_OK) << connect.description();
    const auto state = get(bound.Get(), L"ExecutionState");
    EXPECT_EQ(state.hr, S_OK);
    EXPECT_EQ(state.int32(), first->state);
  }
}

TEST_F(StandinTest, AHostWithoutMachinesCountsZero) {
  files_.writeInventory(registeredInventory());
  const auto list = listOf(params({.host = L"empty", .user = L"", .password = L""}).Get());
  ASSERT_TRUE(list);
  EXPECT_EQ(get(list.Get(), L"Count").int32(), 0);
}

TEST_F(StandinTest, EmptyAccountIsAcceptedWhenTheHostHasOne) {
  files_.writeInventory(L"host \nuser\npassword\nmachine 2 only\n");
  const auto list = listOf(params({.host = L"", .user = L"", .password = L""}).Get());
  ASSERT_TRUE(list);
  EXPECT_EQ(get(list.Get(), L"Count").int32(), 1);
}

TEST_F(StandinTest, ConnectAcceptsTheParametersByReferenceOrAsIUnknown) {
  files_.writeInventory(accountLines({}) + L"machine 1 web01\n");
  const auto connectionParams = params();
  IDispatch *referenced = connectionParams.Get();
  Variant inVariant = object(connectionParams.Get());
  std::vector<std::pair<const char *, Variant>> forms;
  forms.emplace_back("VT_BYREF|VT_DISPATCH", dispatchByReference(&referenced));
  forms.emplace_back("VT_UNKNOWN", unknown(connectionParams.Get()));
  forms.emplace_back("VT_BYREF|VT_VARIANT", variantByReference(inVariant.get()));
  for (auto &[form, argument] : forms) {
    const auto connected = server();
    EXPECT_EQ(call(connected.Get(), L"Connect", std::move(argument)).hr, S_OK) << form;
  }
  IDispatch *referencedAgain = connectionParams.Get();
  const auto bound = machine();
  EXPECT_EQ(call(bound.Get(), L"Connect", dispatchByReference(&referencedAgain), text(L"web01")).hr,
            S_OK);
}

// ---------------------------------------------------------------- refusals

struct Refusal {
  Account account;
  std::uint32_t code;
  std::wstring description;
};

const Refusal refusals[] = {
    {{.host = L"srv9"}, faultCode::unknownHost, L"Unknown host: srv9"},
    {{.host = L"SRV1"}, faultCode::unknownHost, L"Unknown host: SRV1"},
    {{.user = L"Alice"},
     faultCode::badCredentials,
     L"Incorrect user name or password for host srv1"},
    {{.user = L"alice "},
     faultCode::badCredentials,
     L"Incorrect user name or password for host srv1"},
    {{.password = L"Secret"},
     faultCode::badCredentials,
     L"Incorrect user name or password for host srv1"},
    {{.password = L""},
     faultCode::badCredentials,
     L"Incorrect user name or password for host srv1"},
};

TEST_F(StandinTest, UnknownHostsAndWrongAccountsAreRefusedByServerAndMachine) {
  files_.writeInventory(accountLines({}) + L"machine 1 web01\n");
  for (const auto &refusal : refusals) {
    SCOPED_TRACE(refusal.description + L" / " + refusal.account.user + L" / " +
                 refusal.account.password);
    const auto connectionParams = params(refusal.account);
    const auto connected = server();
    expectImmediate(call(connected.Get(), L"Connect", object(connectionParams.Get())), refusal.code,
                    refusal.description);
    expectImmediate(get(connected.Get(), L"RegisteredVmNames"), faultCode::notConnected,
                    L"Not connected to a server");
    const auto bound = machine();
    expectImmediate(call(bound.Get(), L"Connect", object(connectionParams.Get()), text(L"web01")),
                    refusal.code, refusal.description);
    expectImmediate(get(bound.Get(), L"ExecutionState"), faultCode::notConnected,
                    L"Not connected to a virtual machine");
  }
}

TEST_F(StandinTest, MachineNamesAreMatchedExactly) {
  files_.writeInventory(accountLines({}) + L"machine 1 web01\n");
  const auto connectionParams = params();
  for (const wchar_t *name : {L"WEB01", L"web01 ", L" web01", L"web0", L""}) {
    const auto bound = machine();
    expectImmediate(call(bound.Get(), L"Connect", object(connectionParams.Get()), text(name)),
                    faultCode::machineNotFound, L"machine not found");
  }
}

// ---------------------------------------------------------------- faults in all three styles

enum class Step { connect, list, count, item, machineConnect, state };

struct FaultedOperation {
  const wchar_t *inventoryName; // as a fault line names it
  Step step;
  const IID *errorInterface;
  std::uint32_t defaultCode;
};

const FaultedOperation faultedOperations[] = {
    {L"connect", Step::connect, &standin::iidServer, faultCode::connect},
    {L"list", Step::list, &standin::iidServer, faultCode::list},
    {L"count", Step::count, &standin::iidMachineList, faultCode::count},
    {L"item 2", Step::item, &standin::iidMachineList, faultCode::item},
    {L"machine-connect", Step::machineConnect, &standin::iidMachine, faultCode::machineConnect},
    {L"state", Step::state, &standin::iidMachine, faultCode::state},
};

const wchar_t *const faultStyles[] = {L"immediate", L"deferred", L"errorinfo"};

struct FaultedRun {
  Reply reply;
  ComPtr<IDispatch> failedObject;
  std::chrono::steady_clock::duration lastStep{};
};

// Runs the adapter's sequence up to `last` and stops there, or at the first failure.
FaultedRun runUntil(Step last) {
  FaultedRun run;
  // Makes `operation` on `target` the run's latest step; whether the run goes on after it.
  auto goesOnAfter = [&](Step current, const ComPtr<IDispatch> &target, auto operation) {
    run.failedObject = target;
    const auto start = std::chrono::steady_clock::now();
    run.reply = operation();
    run.lastStep = std::chrono::steady_clock::now() - start;
    return run.reply.hr == S_OK && current != last;
  };
  const auto connectionParams = params();
  const auto connected = server();
  if (!goesOnAfter(
          Step::connect, connected,
          [&] { return call(connected.Get(), L"Connect", object(connectionParams.Get())); }) ||
      !goesOnAfter(Step::list, connected,
                   [&] { return get(connected.Get(), L"RegisteredVmNames"); }))
    return run;
  const auto list = returnedObject(run.reply, standin::iidMachineList);
  if (!goesOnAfter(Step::count, list, [&] { return get(list.Get(), L"Count"); }))
    return run;
  EXPECT_EQ(get(list.Get(), L"Item", int32(1)).text(), L"web01");
  if (!goesOnAfter(Step::item, list, [&] { return get(list.Get(), L"Item", int32(2)); }))
    return run;
  const auto bound = machine();
  if (goesOnAfter(Step::machineConnect, bound, [&] {
        return call(bound.Get(), L"Connect", object(connectionParams.Get()), text(L"web01"));
      }))
    goesOnAfter(Step::state, bound, [&] { return get(bound.Get(), L"ExecutionState"); });
  return run;
}

std::wstring faultInventory(const FaultedOperation &operation, const std::wstring &faultLine) {
  const bool machineFault = operation.step == Step::machineConnect || operation.step == Step::state;
  return accountLines({}) + L"machine 1 web01\n" + (machineFault ? faultLine : L"") +
         L"machine 2 db01\n" + (machineFault ? L"" : faultLine);
}

class FaultTest
    : public StandinTest,
      public testing::WithParamInterface<std::tuple<FaultedOperation, const wchar_t *>> {};

TEST_P(FaultTest, FailingOperationReportsItsDescriptionInItsStyle) {
  const auto &[operation, style] = GetParam();
  const std::wstring description =
      std::wstring(L"Injected ") + operation.inventoryName + L" failure, " + style;
  files_.writeInventory(faultInventory(operation, std::wstring(L"fault ") +
                                                      operation.inventoryName + L" " + style +
                                                      L" " + description + L"\n"));
  auto run = runUntil(operation.step);
  const std::wstring_view styleName = style;
  if (styleName == L"immediate") {
    expectImmediate(run.reply, operation.defaultCode, description);
  } else if (styleName == L"deferred") {
    EXPECT_EQ(run.reply.hr, DISP_E_EXCEPTION);
    ASSERT_NE(run.reply.excepInfo().pfnDeferredFillIn, nullptr);
    EXPECT_EQ(run.reply.excepInfo().bstrDescription, nullptr) << "filled in before being asked";
    EXPECT_EQ(run.reply.excepInfo().scode, 0);
    EXPECT_EQ(run.reply.exception.get()->pfnDeferredFillIn(run.reply.exception.get()), S_OK);
    expectImmediate(run.reply, operation.defaultCode, description);
  } else {
    EXPECT_EQ(static_cast<std::uint32_t>(run.reply.hr), operation.defaultCode);
    EXPECT_EQ(run.reply.excepInfo().bstrDescription, nullptr);
    EXPECT_EQ(run.reply.excepInfo().pfnDeferredFillIn, nullptr);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    standin::Bstr source, message;
    GUID iid{};
    EXPECT_EQ(info->GetSource(source.out()), S_OK);
    EXPECT_EQ(info->GetDescription(message.out()), S_OK);
    EXPECT_EQ(info->GetGUID(&iid), S_OK);
    EXPECT_EQ(source.text(), L"vmstandin");
    EXPECT_EQ(message.text(), description);
    EXPECT_TRUE(iid == *operation.errorInterface);
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(run.failedObject.As(&support), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(*operation.errorInterface), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IClassFactory), S_FALSE);
  }
}

INSTANTIATE_TEST_SUITE_P(AllOperationsAllStyles, FaultTest,
                         testing::Combine(testing::ValuesIn(faultedOperations),
                                          testing::ValuesIn(faultStyles)),
                         [](const auto &info) {
                           return wintest::namePart(
                               wintest::toUtf8(std::wstring(std::get<0>(info.param).inventoryName) +
                                               L"_" + std::get<1>(info.param)));
                         });

TEST_F(StandinTest, FaultMayCarryItsOwnCode) {
  files_.writeInventory(accountLines({}) + L"fault connect immediate:0x80004005 Host is down\n");
  expectImmediate(runUntil(Step::connect).reply, static_cast<std::uint32_t>(E_FAIL),
                  L"Host is down");
}

TEST_F(StandinTest, ErrorInfoIsClearedByTheNextSuccessfulCall) {
  files_.writeInventory(accountLines({}) + L"machine 1 web01\nfault count errorinfo No count\n");
  const auto list = listOf(params().Get());
  ASSERT_TRUE(list);
  EXPECT_EQ(static_cast<std::uint32_t>(get(list.Get(), L"Count").hr), faultCode::count);
  EXPECT_EQ(get(list.Get(), L"Item", int32(1)).hr, S_OK);
  ComPtr<IErrorInfo> info;
  EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
}

// ---------------------------------------------------------------- inventory handling

TEST_F(StandinTest, InventoryIsReadAfreshAtEveryConnect) {
  files_.writeInventory(accountLines({}) + L"machine 1 web01\n");
  const auto connectionParams = params();
  const auto firstList = listOf(connectionParams.Get());
  files_.writeInventory(accountLines({}) + L"machine 1 web01\nmachine 2 web02\n");
  const auto secondList = listOf(connectionParams.Get());
  ASSERT_TRUE(firstList && secondList);
  EXPECT_EQ(get(firstList.Get(), L"Count").int32(), 1) << "a list keeps what it was read from";
  EXPECT_EQ(get(secondList.Get(), L"Count").int32(), 2);
  const auto bound = machine();
  EXPECT_EQ(call(bound.Get(), L"Connect", object(connectionParams.Get()), text(L"web02")).hr, S_OK);
}

TEST_F(StandinTest, ListOutlivesTheServerThatMadeIt) {
  files_.writeInventory(accountLines({}) + L"machine 3 web01\nmachine 1 web02\n");
  ComPtr<IDispatch> list;
  {
    auto connectionParams = params();
    list = listOf(connectionParams.Get());
  }
  ASSERT_TRUE(list);
  EXPECT_EQ(standinLiveObjects(), 1);
  EXPECT_EQ(get(list.Get(), L"Count").int32(), 2);
  EXPECT_EQ(get(list.Get(), L"Item", int32(2)).text(), L"web02");
}

struct BrokenInventory {
  std::wstring text;
  std::wstring error; // what the description must end with
};

const BrokenInventory brokenInventories[] = {
    {L"host srv1\nhosts srv2\n", L"line 2: unknown keyword \"hosts\""},
    {L"machine 1 web01\n", L"line 1: a host line must come first"},
    {L"host srv1\n\n# comment\nmachine one web01\n",
     L"line 4: a machine line needs a 32-bit state code before the name"},
    {L"host srv1\nmachine 2147483648 web01\n",
     L"line 2: a machine line needs a 32-bit state code before the name"},
    {L"host srv1\nhost srv1\n", L"line 2: host \"srv1\" is listed twice"},
    {L"host srv1\nuser a\nuser b\n", L"line 3: user is given twice for host \"srv1\""},
    {L"host srv1\nfault connect loud text\n",
     L"line 2: unknown fault style \"loud\" (immediate, deferred or errorinfo)"},
    {L"host srv1\nfault connect immediate:0x00000001 text\n",
     L"line 2: a fault code must be a failing HRESULT written as 0x........"},
    {L"host srv1\nfault reboot immediate text\n", L"line 2: unknown fault \"reboot\""},
    {L"host srv1\nfault item 0 immediate text\n", L"line 2: an item fault needs a 1-based index"},
    {L"host srv1\nfault state immediate text\n",
     L"line 2: a machine fault must follow its machine line"},
    {L"host srv1\nfault count immediate a\nfault count deferred b\n",
     L"line 3: fault \"count\" is given twice for the same target"},
    {L"delay soon\n", L"line 1: unknown delayed operation \"soon\""},
    {L"delay 10 20\n", L"line 1: unexpected text after the last value"},
    {L"delay count\n", L"line 1: a delay needs a number of milliseconds"},
};

TEST_F(StandinTest, MalformedInventoryFailsTheConnectWithTheLineAtFault) {
  for (const auto &broken : brokenInventories) {
    SCOPED_TRACE(broken.text);
    files_.writeInventory(broken.text);
    const auto reply = runUntil(Step::connect);
    expectImmediate(reply.reply, faultCode::inventory,
                    L"vmstandin inventory: " + inventoryPath() + L" " + broken.error);
  }
}

TEST_F(StandinTest, MissingInventoryFailsTheConnect) {
  const auto missing = files_.folder() / "missing.txt";
  SetEnvironmentVariableW(L"BRENNOW_STANDIN_INVENTORY", missing.c_str());
  expectImmediate(runUntil(Step::connect).reply, faultCode::inventory,
                  L"vmstandin inventory: cannot read " + missing.wstring());
  SetEnvironmentVariableW(L"BRENNOW_STANDIN_INVENTORY", nullptr);
  expectImmediate(runUntil(Step::connect).reply, faultCode::inventory,
                  L"vmstandin inventory: BRENNOW_STANDIN_INVENTORY is not set");
}

TEST_F(StandinTest, InventoryMayHaveByteOrderMarkAndCrLfLineEnds) {
  files_.writeInventory(
      L"\xFEFFhost srv1\r\nuser alice\r\npassword secret\r\nmachine 1 web 01\r\n");
  const auto list = listOf(params().Get());
  ASSERT_TRUE(list);
  EXPECT_EQ(get(list.Get(), L"Item", int32(1)).text(), L"web 01");
}

TEST_F(StandinTest, SampleInventoryIsWellFormed) {
  const auto source = standin::environmentValue(L"BRENNOW_SOURCE_WIN");
  ASSERT_TRUE(source) << "BRENNOW_SOURCE_WIN names the source tree";
  const auto sample = fs::path(*source) / "standin" / "sample-inventory.txt";
  ASSERT_TRUE(fs::exists(sample)) << sample;
  SetEnvironmentVariableW(L"BRENNOW_STANDIN_INVENTORY", sample.c_str());
  // A host the sample does not list: refused as unknown, so the whole file parsed.
  expectImmediate(runUntil(Step::connect).reply, faultCode::unknownHost, L"Unknown host: srv1");
}

// ---------------------------------------------------------------- delays

struct Delayed {
  std::wstring fileWide; // delay lines before the first host
  std::wstring ofHost;   // delay lines inside the host's block
  Step step;
  std::chrono::milliseconds least;
};

const Delayed delays[] = {
    {L"delay connect 150\n", L"", Step::connect, std::chrono::milliseconds(150)},
    {L"", L"delay connect 60\n", Step::connect, std::chrono::milliseconds(60)},
    {L"", L"delay 40\n", Step::count, std::chrono::milliseconds(40)},
    {L"delay 30\n", L"delay state 50\n", Step::state, std::chrono::milliseconds(80)},
    {L"delay item 20\n", L"delay item 20\ndelay list 5\n", Step::item,
     std::chrono::milliseconds(40)},
    {L"", L"delay machine-connect 70\n", Step::machineConnect, std::chrono::milliseconds(70)},
};

TEST_F(StandinTest, DelayedOperationsTakeAtLeastTheirDelay) {
  for (const auto &delayed : delays) {
    SCOPED_TRACE(delayed.fileWide + L"/" + delayed.ofHost);
    files_.writeInventory(delayed.fileWide + accountLines({}) +
                          L"machine 1 web01\nmachine 2 web02\n" + delayed.ofHost);
    const auto run = runUntil(delayed.step);
    EXPECT_EQ(run.reply.hr, S_OK);
    EXPECT_GE(run.lastStep, delayed.least);
  }
}

TEST_F(StandinTest, ConnectDelayAppliesToRefusedConnectsToo) {
  for (const auto &inventory : {L"delay connect 100\n", L"host srv1\ndelay connect 100\n"}) {
    SCOPED_TRACE(inventory);
    files_.writeInventory(inventory);
    const auto run = runUntil(Step::connect);
    EXPECT_GE(run.lastStep, std::chrono::milliseconds(100));
    EXPECT_EQ(run.reply.hr, DISP_E_EXCEPTION);
  }
}

// ---------------------------------------------------------------- log

TEST_F(StandinTest, LogRecordsEveryOperationInOrder) {
  files_.writeInventory(accountLines({}) + L"machine 1 web01\nmachine 2 db 01\n");
  files_.startLog();
  {
    const auto connectionParams = params();
    const auto connected = server();
    EXPECT_EQ(call(connected.Get(), L"Connect", object(connectionParams.Get())).hr, S_OK);
    const auto list =
        returnedObject(get(connected.Get(), L"RegisteredVmNames"), standin::iidMachineList);
    EXPECT_EQ(get(list.Get(), L"Count").int32(), 2);
    EXPECT_EQ(get(list.Get(), L"Item", int32(2)).text(), L"db 01");
    {
      const auto bound = machine();
      EXPECT_EQ(call(bound.Get(), L"Connect", object(connectionParams.Get()), text(L"db 01")).hr,
                S_OK);
      EXPECT_EQ(get(bound.Get(), L"ExecutionState").int32(), 2);
    }
    EXPECT_EQ(get(connectionParams.Get(), L"Hostname").text(), L"srv1");
  }
  const std::vector<std::wstring> expected = {
      L"create params",
      L"params.Hostname=srv1",
      L"params.Username=alice",
      L"params.Password=secret",
      L"create server",
      L"server.Connect",
      L"server.RegisteredVmNames",
      L"create list",
      L"list.Count",
      L"list.Item(2)",
      L"create machine",
      L"machine.Connect(db 01)",
      L"machine.ExecutionState",
      L"release machine",
      L"params.Hostname",
      L"release list",
      L"release server",
      L"release params",
  };
  EXPECT_EQ(files_.logLines(), expected);
}

TEST_F(StandinTest, LogIsWrittenThroughAfterEveryLine) {
  files_.writeInventory(accountLines({}));
  files_.startLog();
  const auto connectionParams = create(standin::clsidConnectParams, standin::iidConnectParams);
  EXPECT_EQ(files_.logLines(), std::vector<std::wstring>{L"create params"});
  EXPECT_EQ(put(connectionParams.Get(), L"Username", text(L"bob")).hr, S_OK);
  EXPECT_EQ(files_.logLines(),
            (std::vector<std::wstring>{L"create params", L"params.Username=bob"}));
}

} // namespace
