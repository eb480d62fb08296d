// Values of every kind an automation host can put into the properties, against the check
// and the settings call; and the component registered from a path with blanks and
// non-ASCII characters. Whatever the properties hold, qm_docheck returns normally with a
// Boolean and leaves text in qm_result; qm_showGUI with a value that cannot be taken as
// text fails cleanly, with an HRESULT and a description, before any window shows.
#include <windows.h>

#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/win/automation.h"
#include "component/brennow_h.h"
#include "params/AnsiCodePage.h"
#include "params/Generic.h"
#include "params/base64.h"
#include "standin/ComValues.h"
#include "tests/wine/wintest.h"

using Microsoft::WRL::ComPtr;
using standin::Variant;
namespace fs = std::filesystem;

namespace {

using wintest::toUtf8;

// ---------------------------------------------------------------- the stand-in's world

constexpr wchar_t kHost[] = L"torture.example.test";
constexpr wchar_t kUser[] = L"tortured";
constexpr wchar_t kPassword[] = L"p4ss word";
constexpr wchar_t kMachine[] = L"vm-a";

// The account's parameter string for `machine`, expected on.
std::wstring parameterFor(const std::wstring &machine) {
  return brennow::buildParameterString(
      {kUser, brennow::base64Encode(kPassword, brennow::systemAnsiCodePage()), machine, L"on"});
}
std::wstring goodParameter() { return parameterFor(kMachine); }

// ---------------------------------------------------------------- host objects of three kinds

// An automation object of the host's: none has type information. `Behaviour` decides what
// its default member (DISPID_VALUE) does. Instances are counted, so that a test can see
// that the component let go of every reference it took.
enum class Behaviour {
  noDefaultMember, // every member is unknown
  failsEveryCall,  // every IDispatch method fails, Invoke with an exception
  hostNameDefault, // the default member gives the stand-in's host name as text
};

std::atomic<long> hostObjectsAlive{0};

// A member of every host object: counts it while it lives.
struct HostObjectCount {
  HostObjectCount() { ++hostObjectsAlive; }
  ~HostObjectCount() { --hostObjectsAlive; }
  HostObjectCount(const HostObjectCount &) = delete;
  HostObjectCount &operator=(const HostObjectCount &) = delete;
};

class HostObject final : public wintest::ComObject<HostObject, IDispatch> {
public:
  explicit HostObject(Behaviour behaviour) : behaviour_(behaviour) {}

  STDMETHODIMP GetTypeInfoCount(UINT *count) override {
    if (behaviour_ == Behaviour::failsEveryCall)
      return E_FAIL;
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo **info) override {
    *info = nullptr;
    return behaviour_ == Behaviour::failsEveryCall ? E_FAIL : DISP_E_BADINDEX;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR *, UINT count, LCID, DISPID *ids) override {
    for (UINT i = 0; i < count; ++i)
      ids[i] = DISPID_UNKNOWN;
    return behaviour_ == Behaviour::failsEveryCall ? E_FAIL : DISP_E_UNKNOWNNAME;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS *, VARIANT *result,
                      EXCEPINFO *exception, UINT *) override {
    switch (behaviour_) {
    case Behaviour::noDefaultMember:
      return DISP_E_MEMBERNOTFOUND;
    case Behaviour::failsEveryCall:
      if (exception) {
        *exception = EXCEPINFO{};
        exception->scode = E_FAIL;
        exception->bstrSource = SysAllocString(L"torture host object");
        exception->bstrDescription = SysAllocString(L"The host object refuses every call");
      }
      return DISP_E_EXCEPTION;
    case Behaviour::hostNameDefault:
      if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET))
        return DISP_E_MEMBERNOTFOUND;
      if (result) {
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = SysAllocString(kHost);
      }
      return S_OK;
    }
    return E_UNEXPECTED;
  }

private:
  Behaviour behaviour_;
  HostObjectCount counted_;
};

// An object that answers nothing but IUnknown.
class UnknownOnly final : public wintest::ComObject<UnknownOnly, IUnknown> {
  HostObjectCount counted_;
};

// ---------------------------------------------------------------- values of every kind

// What a by-reference value points at: on the heap, so that it stays put when the
// Value that owns it moves.
struct Referenced {
  Variant variant;
  LONG int32 = 0;
  DECIMAL decimal{};
};

// A property value, with whatever it points at kept alive as long as the value.
struct Value {
  Variant variant;
  std::unique_ptr<Referenced> referenced;
};

// The type goes in after the value: a DECIMAL covers the variant's type field too.
template <typename Assign> Value scalar(VARTYPE type, Assign assign) {
  Value value;
  assign(*value.variant.get());
  V_VT(value.variant.get()) = type;
  return value;
}

Value textValue(std::wstring_view text) {
  Value value;
  value.variant = Variant::fromText(text);
  return value;
}

Value objectValue(ComPtr<IDispatch> object) {
  Value value;
  value.variant = Variant::fromDispatch(object.Get());
  return value;
}

Value hostObjectValue(Behaviour behaviour) { return objectValue(HostObject::make(behaviour)); }

Value unknownOnlyValue() {
  Value value;
  V_VT(value.variant.get()) = VT_UNKNOWN;
  V_UNKNOWN(value.variant.get()) = UnknownOnly::make().Detach();
  return value;
}

// A one-dimensional array of `type` with the given elements (each put as a variant).
SAFEARRAY *vectorOf(VARTYPE type, std::vector<Variant> elements) {
  SAFEARRAY *array = SafeArrayCreateVector(type, 0, static_cast<ULONG>(elements.size()));
  for (LONG i = 0; i < static_cast<LONG>(elements.size()); ++i) {
    Variant &element = elements[static_cast<std::size_t>(i)];
    if (type == VT_VARIANT)
      SafeArrayPutElement(array, &i, element.get());
    else if (type == VT_BSTR)
      SafeArrayPutElement(array, &i, V_BSTR(element.get()));
    else
      SafeArrayPutElement(array, &i, &V_I4(element.get()));
  }
  return array;
}

Value arrayValue(VARTYPE type, SAFEARRAY *array) {
  Value value;
  V_VT(value.variant.get()) = VT_ARRAY | type;
  V_ARRAY(value.variant.get()) = array;
  return value;
}

Value twoDimensionalArray() {
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 1}};
  SAFEARRAY *array = SafeArrayCreate(VT_VARIANT, 2, bounds);
  for (LONG row = 0; row < 2; ++row) {
    for (LONG column = 1; column <= 3; ++column) {
      LONG at[2] = {row, column};
      Variant element = Variant::fromInt32(row * 10 + column);
      SafeArrayPutElement(array, at, element.get());
    }
  }
  return arrayValue(VT_VARIANT, array);
}

// The host name's UTF-16 code units as bytes: automation turns a byte array into text.
Value hostNameBytes() {
  const std::wstring_view host = kHost;
  SAFEARRAY *array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(host.size() * 2));
  void *data = nullptr;
  SafeArrayAccessData(array, &data);
  std::memcpy(data, host.data(), host.size() * 2);
  SafeArrayUnaccessData(array);
  return arrayValue(VT_UI1, array);
}

DECIMAL someDecimal() {
  DECIMAL decimal{};
  VarDecFromR8(-1234.5678, &decimal);
  return decimal;
}

// 8 Mi characters: 16 MiB of text.
const std::wstring &hugeText() {
  static const std::wstring text = [] {
    std::wstring t(8u << 20, L'h');
    for (std::size_t i = 0; i < t.size(); i += 4096)
      t[i] = L'0' + static_cast<wchar_t>(i / 4096 % 10);
    return t;
  }();
  return text;
}

// A by-reference value: the variant points at the target's value, which moves into the
// Value's referenced storage.
Value byReference(VARTYPE type, Value target) {
  Value value;
  value.referenced = std::make_unique<Referenced>();
  Referenced &to = *value.referenced;
  VARIANT &held = *to.variant.get();
  held = *target.variant.get();
  V_VT(target.variant.get()) = VT_EMPTY; // its contents now belong to `held`
  VARIANT &v = *value.variant.get();
  switch (type) {
  case VT_I4:
    to.int32 = V_I4(&held);
    V_VT(&v) = VT_BYREF | VT_I4;
    V_I4REF(&v) = &to.int32;
    break;
  case VT_BSTR:
    V_VT(&v) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&v) = &V_BSTR(&held);
    break;
  case VT_DECIMAL:
    to.decimal = V_DECIMAL(&held);
    to.decimal.wReserved = 0; // it held the variant's type
    V_VT(&v) = VT_BYREF | VT_DECIMAL;
    V_DECIMALREF(&v) = &to.decimal;
    break;
  case VT_DISPATCH:
    V_VT(&v) = VT_BYREF | VT_DISPATCH;
    V_DISPATCHREF(&v) = &V_DISPATCH(&held);
    break;
  case VT_VARIANT:
    V_VT(&v) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&v) = &held;
    break;
  default: // an array of any element type
    V_VT(&v) = VT_BYREF | V_VT(&held);
    V_ARRAYREF(&v) = &V_ARRAY(&held);
    break;
  }
  return value;
}

// Values that both tables below use.
Value nullValue() {
  return scalar(VT_NULL, [](VARIANT &) {});
}
Value missingArgumentValue() {
  return scalar(VT_ERROR, [](VARIANT &v) { V_ERROR(&v) = DISP_E_PARAMNOTFOUND; });
}
Value emptyArrayValue() { return arrayValue(VT_VARIANT, vectorOf(VT_VARIANT, {})); }
Value objectWithoutDefaultMember() { return hostObjectValue(Behaviour::noDefaultMember); }
Value objectFailingEveryCall() { return hostObjectValue(Behaviour::failsEveryCall); }

struct Kind {
  const char *name;
  VARTYPE type; // what the value's variant holds
  Value (*make)();
};

const Kind kinds[] = {
    {"Empty", VT_EMPTY, [] { return Value(); }},
    {"Null", VT_NULL, nullValue},
    {"I1", VT_I1, [] { return scalar(VT_I1, [](VARIANT &v) { V_I1(&v) = -5; }); }},
    {"I2", VT_I2, [] { return scalar(VT_I2, [](VARIANT &v) { V_I2(&v) = -300; }); }},
    {"I4", VT_I4, [] { return scalar(VT_I4, [](VARIANT &v) { V_I4(&v) = -70000; }); }},
    {"I8", VT_I8, [] { return scalar(VT_I8, [](VARIANT &v) { V_I8(&v) = -9000000000LL; }); }},
    {"UI1", VT_UI1, [] { return scalar(VT_UI1, [](VARIANT &v) { V_UI1(&v) = 200; }); }},
    {"UI2", VT_UI2, [] { return scalar(VT_UI2, [](VARIANT &v) { V_UI2(&v) = 65000; }); }},
    {"UI4", VT_UI4, [] { return scalar(VT_UI4, [](VARIANT &v) { V_UI4(&v) = 4000000000u; }); }},
    {"UI8", VT_UI8,
     [] { return scalar(VT_UI8, [](VARIANT &v) { V_UI8(&v) = 18000000000000000000ull; }); }},
    {"R4", VT_R4, [] { return scalar(VT_R4, [](VARIANT &v) { V_R4(&v) = 0.25f; }); }},
    {"R8", VT_R8, [] { return scalar(VT_R8, [](VARIANT &v) { V_R8(&v) = -1.5e300; }); }},
    {"INT", VT_INT, [] { return scalar(VT_INT, [](VARIANT &v) { V_INT(&v) = 12; }); }},
    {"UINT", VT_UINT, [] { return scalar(VT_UINT, [](VARIANT &v) { V_UINT(&v) = 13u; }); }},
    {"Date", VT_DATE, [] { return scalar(VT_DATE, [](VARIANT &v) { V_DATE(&v) = 2.25; }); }},
    {"Currency", VT_CY,
     [] { return scalar(VT_CY, [](VARIANT &v) { V_CY(&v).int64 = -123456789; }); }},
    {"Decimal", VT_DECIMAL,
     [] { return scalar(VT_DECIMAL, [](VARIANT &v) { V_DECIMAL(&v) = someDecimal(); }); }},
    {"True", VT_BOOL,
     [] { return scalar(VT_BOOL, [](VARIANT &v) { V_BOOL(&v) = VARIANT_TRUE; }); }},
    {"Error", VT_ERROR, missingArgumentValue},
    {"TextWithNuls", VT_BSTR, [] { return textValue(std::wstring(L"a\0b\0", 4) + kHost); }},
    {"HugeText", VT_BSTR, [] { return textValue(hugeText()); }},
    {"ArrayOfI4", VT_ARRAY | VT_I4,
     [] {
       return arrayValue(VT_I4, vectorOf(VT_I4, [] {
                           std::vector<Variant> v;
                           v.push_back(Variant::fromInt32(1));
                           v.push_back(Variant::fromInt32(2));
                           return v;
                         }()));
     }},
    {"ArrayOfText", VT_ARRAY | VT_BSTR,
     [] {
       return arrayValue(VT_BSTR, vectorOf(VT_BSTR, [] {
                           std::vector<Variant> v;
                           v.push_back(Variant::fromText(kHost));
                           return v;
                         }()));
     }},
    {"EmptyArray", VT_ARRAY | VT_VARIANT, emptyArrayValue},
    {"TwoDimensionalArray", VT_ARRAY | VT_VARIANT, twoDimensionalArray},
    {"ByteArray", VT_ARRAY | VT_UI1, hostNameBytes},
    {"Nothing", VT_DISPATCH,
     [] { return scalar(VT_DISPATCH, [](VARIANT &v) { V_DISPATCH(&v) = nullptr; }); }},
    {"ObjectWithoutDefaultMember", VT_DISPATCH, objectWithoutDefaultMember},
    {"ObjectFailingEveryCall", VT_DISPATCH, objectFailingEveryCall},
    {"ObjectWithTextDefault", VT_DISPATCH,
     [] { return hostObjectValue(Behaviour::hostNameDefault); }},
    {"UnknownOnly", VT_UNKNOWN, unknownOnlyValue},
    {"ByRefI4", VT_BYREF | VT_I4,
     [] { return byReference(VT_I4, scalar(VT_I4, [](VARIANT &v) { V_I4(&v) = 77; })); }},
    {"ByRefText", VT_BYREF | VT_BSTR, [] { return byReference(VT_BSTR, textValue(kHost)); }},
    {"ByRefDecimal", VT_BYREF | VT_DECIMAL,
     [] {
       return byReference(VT_DECIMAL,
                          scalar(VT_DECIMAL, [](VARIANT &v) { V_DECIMAL(&v) = someDecimal(); }));
     }},
    {"ByRefObjectFailing", VT_BYREF | VT_DISPATCH,
     [] { return byReference(VT_DISPATCH, objectFailingEveryCall()); }},
    {"ByRefVariantText", VT_BYREF | VT_VARIANT,
     [] { return byReference(VT_VARIANT, textValue(kHost)); }},
    {"ByRefVariantNull", VT_BYREF | VT_VARIANT,
     [] { return byReference(VT_VARIANT, nullValue()); }},
    {"ByRefArray", VT_BYREF | VT_ARRAY | VT_VARIANT,
     [] { return byReference(VT_ARRAY, twoDimensionalArray()); }},
};

// The value's text form as automation gives it (by-reference values resolved), if it has one.
std::optional<std::wstring> textForm(const VARIANT &value) {
  standin::Variant resolved, text;
  if (FAILED(VariantCopyInd(resolved.get(), const_cast<VARIANT *>(&value))))
    return std::nullopt;
  if (FAILED(VariantChangeTypeEx(text.get(), resolved.get(), LOCALE_USER_DEFAULT, VARIANT_ALPHABOOL,
                                 VT_BSTR)))
    return std::nullopt;
  return std::wstring(V_BSTR(text.get()), SysStringLen(V_BSTR(text.get())));
}

// ---------------------------------------------------------------- one check as a host runs it

using wintest::errorReport;
using wintest::expectFailureAt;
using wintest::expectOutcome;
using wintest::runCheck;
using Outcome = wintest::CheckOutcome;

class TortureTest : public testing::Test {
protected:
  void SetUp() override {
    // The stand-in's world: one host, one account, one machine that is on.
    files_.writeInventory(std::wstring(L"host ") + kHost + L"\nuser " + kUser + L"\npassword " +
                          kPassword + L"\nmachine 1 " + kMachine + L"\n");
    plugin_ = wintest::createPlugin();
    ASSERT_TRUE(plugin_) << "brennow.vmwarecom cannot be created: is brennow.dll registered?";
  }
  void TearDown() override {
    plugin_.Reset();
    EXPECT_EQ(hostObjectsAlive.load(), 0) << "the component kept a host object";
    EXPECT_EQ(wintest::standinLiveObjects(), 0) << "stand-in objects outlived the check";
  }

  HRESULT put(const wchar_t *property, const VARIANT &value) {
    return wintest::putProperty(plugin_.Get(), property, value);
  }
  void putGood() {
    ASSERT_EQ(put(L"qm_hostname", *Variant::fromText(kHost).get()), S_OK);
    ASSERT_EQ(put(L"qm_timeout", *Variant::fromText(L"30").get()), S_OK);
    ASSERT_EQ(put(L"qm_parameter", *Variant::fromText(goodParameter()).get()), S_OK);
  }

  wintest::StandinFiles files_{"brennow-torture"};
  ComPtr<IDispatch> plugin_;
};

const std::wstring kGoodMessage = std::wstring(L"Virtual machine (") + kMachine + L") is on";
// A run without an account: this server refuses it at the connect.
const std::wstring kRefusedAccountMessage =
    errorReport(std::wstring(L"Incorrect user name or password for host ") + kHost, 130);

// ---------------------------------------------------------------- qm_docheck

class KindTest : public testing::TestWithParam<Kind> {};

// The table makes what it says: a DECIMAL, for one, covers the variant's type field.
TEST_P(KindTest, ValueHoldsItsType) {
  Value value = GetParam().make();
  EXPECT_EQ(V_VT(value.variant.get()), GetParam().type);
}

INSTANTIATE_TEST_SUITE_P(Kinds, KindTest, testing::ValuesIn(kinds),
                         [](const auto &info) { return std::string(info.param.name); });

class CheckWithValueTest : public TortureTest, public testing::WithParamInterface<Kind> {};

// The timeout is copied and never used: every kind of value leaves the run as it was.
TEST_P(CheckWithValueTest, InTimeoutChangesNothing) {
  putGood();
  Value value = GetParam().make();
  ASSERT_EQ(put(L"qm_timeout", *value.variant.get()), S_OK);
  expectOutcome(runCheck(plugin_.Get()), true, kGoodMessage);
}

// The host name is copied at 30 and taken as text at 100; a text that names no host is
// refused by the server at 130.
TEST_P(CheckWithValueTest, InHostNameIsTakenAsTextOrFailsAt100) {
  putGood();
  Value value = GetParam().make();
  ASSERT_EQ(put(L"qm_hostname", *value.variant.get()), S_OK);
  const auto text = textForm(*value.variant.get());
  const Outcome outcome = runCheck(plugin_.Get());
  if (!text)
    expectFailureAt(outcome, 100);
  else if (*text == kHost)
    expectOutcome(outcome, true, kGoodMessage);
  else
    expectOutcome(outcome, false, errorReport(L"Unknown host: " + *text, 130));
}

// The parameter string is taken as text at 40. None of these values holds a field, so the
// check connects without an account, which this server refuses at 130.
TEST_P(CheckWithValueTest, InParameterIsTakenAsTextOrFailsAt40) {
  putGood();
  Value value = GetParam().make();
  ASSERT_EQ(put(L"qm_parameter", *value.variant.get()), S_OK);
  const auto text = textForm(*value.variant.get());
  const Outcome outcome = runCheck(plugin_.Get());
  if (!text) {
    expectFailureAt(outcome, 40);
  } else {
    ASSERT_EQ(text->find(L'#'), std::wstring::npos) << "the value holds a field";
    expectOutcome(outcome, false, kRefusedAccountMessage);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, CheckWithValueTest, testing::ValuesIn(kinds),
                         [](const auto &info) { return std::string(info.param.name); });

// Objects stored by reference (Set) behave as when stored by value.
class CheckWithObjectSetTest : public TortureTest, public testing::WithParamInterface<Behaviour> {};

TEST_P(CheckWithObjectSetTest, InEachProperty) {
  const Behaviour behaviour = GetParam();
  const bool hasHostText = behaviour == Behaviour::hostNameDefault;
  for (const wchar_t *property : {L"qm_timeout", L"qm_hostname", L"qm_parameter"}) {
    SCOPED_TRACE(toUtf8(property));
    putGood();
    Value value = hostObjectValue(behaviour);
    ASSERT_EQ(wintest::putProperty(plugin_.Get(), property, *value.variant.get(), true), S_OK);
    const Outcome outcome = runCheck(plugin_.Get());
    if (std::wstring_view(property) == L"qm_timeout" ||
        (hasHostText && std::wstring_view(property) == L"qm_hostname"))
      expectOutcome(outcome, true, kGoodMessage);
    else if (hasHostText)
      expectOutcome(outcome, false, kRefusedAccountMessage);
    else
      expectFailureAt(outcome, std::wstring_view(property) == L"qm_hostname" ? 100 : 40);
  }
}

INSTANTIATE_TEST_SUITE_P(Objects, CheckWithObjectSetTest,
                         testing::Values(Behaviour::noDefaultMember, Behaviour::failsEveryCall,
                                         Behaviour::hostNameDefault),
                         [](const auto &info) {
                           switch (info.param) {
                           case Behaviour::noDefaultMember:
                             return std::string("WithoutDefaultMember");
                           case Behaviour::failsEveryCall:
                             return std::string("FailingEveryCall");
                           default:
                             return std::string("WithTextDefault");
                           }
                         });

// All three properties unusable at once: the parameter string, read at 40, fails first;
// the copies at 20 and 30 take any value.
TEST_F(TortureTest, AllThreePropertiesUnusableFailsAt40) {
  Value timeout = objectFailingEveryCall();
  Value hostname = twoDimensionalArray();
  Value parameter = nullValue();
  ASSERT_EQ(put(L"qm_timeout", *timeout.variant.get()), S_OK);
  ASSERT_EQ(put(L"qm_hostname", *hostname.variant.get()), S_OK);
  ASSERT_EQ(put(L"qm_parameter", *parameter.variant.get()), S_OK);
  expectFailureAt(runCheck(plugin_.Get()), 40);
}

// Embedded NULs are characters like any other, in the looked-up values and in the message.
TEST_F(TortureTest, NulsInsideTheMachineNameReachTheMessage) {
  putGood();
  const std::wstring machine(L"vm\0a", 4);
  ASSERT_EQ(put(L"qm_parameter", *Variant::fromText(parameterFor(machine)).get()), S_OK);
  expectOutcome(runCheck(plugin_.Get()), false,
                L"Can't get the state of this (" + machine +
                    L") virtual machine, it's not listed as a known one");
}

// A 16 MiB parameter string with the fields at its end is read whole, four times.
TEST_F(TortureTest, HugeParameterStringWithTheFieldsAtTheEnd) {
  putGood();
  ASSERT_EQ(put(L"qm_parameter", *Variant::fromText(L"#PAD=" + hugeText() + goodParameter()).get()),
            S_OK);
  expectOutcome(runCheck(plugin_.Get()), true, kGoodMessage);
}

// ---------------------------------------------------------------- qm_showGUI

// Closes any window of this process that becomes visible while it watches, and says so:
// qm_showGUI must fail before it shows anything, and a window left open would block the test.
class WindowWatch {
public:
  WindowWatch() : thread_([this] { watch(); }) {}
  ~WindowWatch() {
    stop_ = true;
    thread_.join();
  }
  bool sawWindow() const { return sawWindow_; }

private:
  static BOOL CALLBACK closeIfOurs(HWND window, LPARAM self) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && IsWindowVisible(window)) {
      reinterpret_cast<WindowWatch *>(self)->sawWindow_ = true;
      PostMessageW(window, WM_CLOSE, 0, 0);
    }
    return TRUE;
  }
  void watch() {
    while (!stop_) {
      EnumWindows(closeIfOurs, reinterpret_cast<LPARAM>(this));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<bool> sawWindow_{false};
  std::thread thread_;
};

struct ShowKind {
  const char *name;
  const wchar_t *property;
  Value (*make)();
};

const ShowKind showKinds[] = {
    {"ParameterArray", L"qm_parameter", twoDimensionalArray},
    {"ParameterEmptyArray", L"qm_parameter", emptyArrayValue},
    {"ParameterNull", L"qm_parameter", nullValue},
    {"ParameterError", L"qm_parameter", missingArgumentValue},
    {"ParameterObjectWithoutDefaultMember", L"qm_parameter", objectWithoutDefaultMember},
    {"ParameterObjectFailingEveryCall", L"qm_parameter", objectFailingEveryCall},
    {"ParameterUnknownOnly", L"qm_parameter", unknownOnlyValue},
    {"HostNameArray", L"qm_hostname", twoDimensionalArray},
    {"TimeoutObjectWithoutDefaultMember", L"qm_timeout", objectWithoutDefaultMember},
};

class ShowGuiTest : public TortureTest, public testing::WithParamInterface<ShowKind> {
protected:
  void SetUp() override {
    TortureTest::SetUp();
    putGood();
    value_ = GetParam().make();
    ASSERT_FALSE(textForm(*value_.variant.get()))
        << "a value with a text form would show the dialog";
    ASSERT_EQ(put(GetParam().property, *value_.variant.get()), S_OK);
  }
  void TearDown() override {
    value_ = Value();
    TortureTest::TearDown();
  }
  Value value_;
};

// Through IDispatch, as a script host calls it: a failure with the description attached.
TEST_P(ShowGuiTest, ThroughIDispatchFailsWithADescriptionAndShowsNothing) {
  brennow::win::ExcepInfo exception;
  HRESULT hr = S_OK;
  {
    WindowWatch watch;
    hr = wintest::invoke(plugin_.Get(), L"qm_showGUI", DISPATCH_METHOD, {}, nullptr, &exception);
    EXPECT_FALSE(watch.sawWindow()) << "a window showed";
  }
  exception.fillIn();
  const std::wstring description = exception.description();
  EXPECT_TRUE(FAILED(hr));
  if (hr == DISP_E_EXCEPTION) {
    EXPECT_TRUE(FAILED(exception.info().scode)) << std::hex << exception.info().scode;
    EXPECT_FALSE(description.empty()) << "the exception carries no description";
  } else {
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK) << "a failure without a description";
    standin::Bstr text;
    ASSERT_EQ(info->GetDescription(text.out()), S_OK);
    EXPECT_FALSE(text.text().empty());
  }
}

// Through the vtable, as a compiled host calls it: a failing HRESULT and the thread's
// error information, announced by ISupportErrorInfo.
TEST_P(ShowGuiTest, ThroughTheVtableFailsWithErrorInformation) {
  ComPtr<_vmwarecom> plugin;
  ASSERT_EQ(plugin_.As(&plugin), S_OK);
  SetErrorInfo(0, nullptr);
  HRESULT hr = S_OK;
  {
    WindowWatch watch;
    hr = plugin->qm_showGUI();
    EXPECT_FALSE(watch.sawWindow()) << "a window showed";
  }
  EXPECT_TRUE(FAILED(hr));
  ComPtr<ISupportErrorInfo> supports;
  ASSERT_EQ(plugin.As(&supports), S_OK);
  EXPECT_EQ(supports->InterfaceSupportsErrorInfo(IID__vmwarecom), S_OK);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, &info), S_OK) << "no error information";
  standin::Bstr description;
  ASSERT_EQ(info->GetDescription(description.out()), S_OK);
  EXPECT_FALSE(description.text().empty());
  GUID guid{};
  EXPECT_EQ(info->GetGUID(&guid), S_OK);
  EXPECT_EQ(guid, IID__vmwarecom);
}

INSTANTIATE_TEST_SUITE_P(Untextable, ShowGuiTest, testing::ValuesIn(showKinds),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- registration from an unusual
// path

#ifdef _WIN64
constexpr wchar_t kPlatformKey[] = L"win64";
#else
constexpr wchar_t kPlatformKey[] = L"win32";
#endif

using wintest::registryText;

std::wstring inprocServerKey() {
  return L"CLSID\\" + wintest::guidText(CLSID_vmwarecom) + L"\\InprocServer32";
}
std::wstring typeLibraryKey() {
  return L"TypeLib\\" + wintest::guidText(LIBID_brennow) + L"\\1.0\\0\\" + kPlatformKey;
}

// The file of the module whose code serves `object` (the module of its vtable).
std::wstring modulePathOf(IUnknown *object) {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                         GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     *reinterpret_cast<LPCWSTR *>(object), &module);
  return wintest::modulePath(module);
}

using EntryPoint = HRESULT(WINAPI *)();

// A DLL loaded for its entry points, freed on destruction.
class LoadedDll {
public:
  explicit LoadedDll(const std::wstring &path) : module_(LoadLibraryW(path.c_str())) {}
  LoadedDll(const LoadedDll &) = delete;
  LoadedDll &operator=(const LoadedDll &) = delete;
  ~LoadedDll() {
    if (module_)
      FreeLibrary(module_);
  }
  explicit operator bool() const { return module_ != nullptr; }
  HRESULT call(const char *entry) const {
    const auto function =
        reinterpret_cast<EntryPoint>(reinterpret_cast<void (*)()>(GetProcAddress(module_, entry)));
    return function ? function() : E_NOTIMPL;
  }
  std::wstring path() const { return wintest::modulePath(module_); }

private:
  HMODULE module_;
};

// brennow.dll copied into a folder whose name has blanks and an "ä"; the normal
// registration of the build folder's DLL comes back afterwards, whatever happened.
class UnusualPathRegistration : public testing::Test {
protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              (L"brennow dir with blanks \u00e4 " + std::to_wstring(GetCurrentProcessId()));
    fs::create_directories(folder_);
    copy_ = (folder_ / L"brennow.dll").wstring();
    ASSERT_TRUE(CopyFileW(wintest::brennowPath().c_str(), copy_.c_str(), FALSE));
  }
  void TearDown() override {
    {
      LoadedDll original(wintest::brennowPath());
      ASSERT_TRUE(original);
      EXPECT_EQ(original.call("DllRegisterServer"), S_OK);
    }
    EXPECT_EQ(registryText(inprocServerKey()), wintest::brennowPath())
        << "normal registration back";
    CoFreeUnusedLibrariesEx(0, 0);
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  fs::path folder_;
  std::wstring copy_;
};

TEST_F(UnusualPathRegistration, RegistersThatExactPathAndCreatesFromIt) {
  {
    LoadedDll copy(copy_);
    ASSERT_TRUE(copy) << "cannot load " << toUtf8(copy_);
    ASSERT_EQ(copy.path(), copy_);
    ASSERT_EQ(copy.call("DllRegisterServer"), S_OK);
    EXPECT_EQ(registryText(inprocServerKey()), copy_);
    EXPECT_EQ(registryText(typeLibraryKey()), copy_);

    // The class comes from the registered copy, and its type library answers.
    {
      ComPtr<IDispatch> plugin = wintest::createPlugin();
      ASSERT_TRUE(plugin);
      EXPECT_EQ(modulePathOf(plugin.Get()), copy_);
      ComPtr<ITypeInfo> typeInfo;
      EXPECT_EQ(plugin->GetTypeInfo(0, 0, &typeInfo), S_OK);
      ComPtr<ITypeLib> registered;
      EXPECT_EQ(LoadRegTypeLib(LIBID_brennow, 1, 0, 0, &registered), S_OK);
    }

    EXPECT_EQ(copy.call("DllUnregisterServer"), S_OK);
    EXPECT_EQ(registryText(inprocServerKey()), std::nullopt);
    EXPECT_EQ(registryText(typeLibraryKey()), std::nullopt);
  }
}

} // namespace
