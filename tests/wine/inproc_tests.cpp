// The in-process server kit as a library's entry points use it, with this program as
// the library: its class table, its module counts and a scratch registry key.
#include "common/win/inproc.h"
#include "common/win/registry.h"
#include "tests/wine/wintest.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

using brennow::win::CreatableClass;
using brennow::win::RegistryEntry;
using Microsoft::WRL::ComPtr;
namespace module = brennow::win::module;

namespace {

constexpr CLSID kCountedClass = {
    0x5E1C2A10, 0x7B3D, 0x4C6E, {0x9A, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};
constexpr CLSID kFailingClass = {
    0x5E1C2A11, 0x7B3D, 0x4C6E, {0x9A, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};
constexpr CLSID kUnlistedClass = {
    0x5E1C2A12, 0x7B3D, 0x4C6E, {0x9A, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};

// An object that counts itself as a live object of the module, as the servers' do.
class Counted final : public wintest::ComObject<Counted, IDispatch> {
public:
  Counted() noexcept { module::objectCreated(); }
  ~Counted() { module::objectDestroyed(); }
  STDMETHODIMP GetTypeInfoCount(UINT *) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *,
                      UINT *) override {
    return E_NOTIMPL;
  }
};

HRESULT throwBadAlloc(REFIID, void **) { throw std::bad_alloc(); }

const CreatableClass classTable[] = {
    {kCountedClass, &brennow::win::createInstance<Counted>},
    {kFailingClass, &throwBadAlloc},
};

ComPtr<IClassFactory> factoryOf(REFCLSID clsid) {
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(brennow::win::getClassObject(classTable, clsid, IID_IClassFactory,
                                         reinterpret_cast<void **>(factory.GetAddressOf())),
            S_OK);
  return factory;
}

TEST(ClassTable, AnUnlistedClassHasNoFactory) {
  void *object = reinterpret_cast<void *>(1);
  EXPECT_EQ(brennow::win::getClassObject(classTable, kUnlistedClass, IID_IClassFactory, &object),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(brennow::win::getClassObject(classTable, kCountedClass, IID_IClassFactory, nullptr),
            E_POINTER);
}

TEST(ClassTable, AFactoryAnswersOnlyItsOwnInterfaces) {
  void *object = reinterpret_cast<void *>(1);
  EXPECT_EQ(brennow::win::getClassObject(classTable, kCountedClass, IID_IDispatch, &object),
            E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(module::canUnloadNow(), S_OK) << "a factory nobody got leaves nothing behind";
}

TEST(ClassTable, EachListedClassCreatesThroughItsOwnFunction) {
  const auto counted = factoryOf(kCountedClass);
  ASSERT_TRUE(counted);
  ComPtr<IDispatch> object;
  EXPECT_EQ(counted->CreateInstance(nullptr, IID_PPV_ARGS(&object)), S_OK);
  EXPECT_TRUE(object);
  EXPECT_EQ(module::liveObjects(), 1);

  const auto failing = factoryOf(kFailingClass);
  ASSERT_TRUE(failing);
  ComPtr<IDispatch> none;
  EXPECT_EQ(failing->CreateInstance(nullptr, IID_PPV_ARGS(&none)), E_OUTOFMEMORY)
      << "what creation throws is reported, not passed on";
  EXPECT_FALSE(none);
}

TEST(ClassTable, FactoriesRefuseAggregation) {
  const auto factory = factoryOf(kCountedClass);
  ASSERT_TRUE(factory);
  ComPtr<IUnknown> outer = Counted::make();
  void *object = reinterpret_cast<void *>(1);
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
}

// What keeps the library loaded, one holder at a time: an object, a factory, a lock.
TEST(UnloadRules, ObjectsFactoriesAndLocksEachKeepTheLibraryLoaded) {
  ASSERT_EQ(module::canUnloadNow(), S_OK);
  {
    const auto factory = factoryOf(kCountedClass);
    EXPECT_EQ(module::canUnloadNow(), S_FALSE) << "a referenced factory";
    ComPtr<IDispatch> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&object)), S_OK);
    factory->LockServer(TRUE);
  }
  EXPECT_EQ(module::canUnloadNow(), S_FALSE) << "a lock without its factory";
  {
    const auto factory = factoryOf(kCountedClass);
    factory->LockServer(FALSE);
  }
  EXPECT_EQ(module::canUnloadNow(), S_OK);
  {
    const auto object = Counted::make();
    EXPECT_EQ(module::canUnloadNow(), S_FALSE) << "a live object";
  }
  EXPECT_EQ(module::canUnloadNow(), S_OK);
}

// A scratch key below HKEY_CURRENT_USER, removed with all it holds.
class ScratchKey : public testing::Test {
protected:
  void SetUp() override {
    path_ = L"Software\\brennow-inproc-tests-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_EQ(root_.create(HKEY_CURRENT_USER, path_, KEY_ALL_ACCESS), ERROR_SUCCESS);
  }
  void TearDown() override {
    root_ = {};
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
  }
  HKEY root() const noexcept { return root_.get(); }
  bool exists(const std::wstring &key) const {
    return brennow::win::registryKeyExists(root(), key);
  }
  std::optional<std::wstring> text(const std::wstring &key, const wchar_t *value = nullptr) const {
    return wintest::registryText(key, value, root());
  }

private:
  std::wstring path_;
  brennow::win::RegistryKey root_;
};

// Longer than a key name may be: creating it fails.
const std::wstring kUncreatableKey(300, L'k');

using RegistrationTable = ScratchKey;

TEST_F(RegistrationTable, WritesEveryEntryAsText) {
  const std::vector<RegistryEntry> entries = {
      {L"Server", L"", L"the default value"},
      {L"Server\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {L"Server\\Programmable", L"", L""},
  };
  const std::vector<std::wstring> owned = {L"Server"};
  ASSERT_EQ(brennow::win::writeRegistryEntries(root(), entries, owned), S_OK);
  for (const auto &entry : entries)
    EXPECT_EQ(text(entry.key, entry.name.empty() ? nullptr : entry.name.c_str()), entry.value);
}

TEST_F(RegistrationTable, AFailedEntryRollsBackTheOwnedKeysAndNothingElse) {
  ASSERT_EQ(brennow::win::writeRegistryEntries(root(),
                                               std::vector<RegistryEntry>{{L"Other", L"", L"x"}},
                                               std::vector<std::wstring>{}),
            S_OK);
  const std::vector<RegistryEntry> entries = {
      {L"First", L"", L"written"},
      {L"Second\\Below", L"", L"written"},
      {L"Second\\" + kUncreatableKey, L"", L"never"},
      {L"Third", L"", L"never reached"},
  };
  const std::vector<std::wstring> owned = {L"First", L"Second", L"Third"};
  EXPECT_TRUE(FAILED(brennow::win::writeRegistryEntries(root(), entries, owned)));
  for (const auto &key : owned)
    EXPECT_FALSE(exists(key)) << "left behind: " << wintest::toUtf8(key);
  EXPECT_EQ(text(L"Other"), L"x");
}

TEST_F(RegistrationTable, RemovingTreesTakesTheirSubkeysAndAbsentTreesAreNoFailure) {
  const std::vector<RegistryEntry> entries = {
      {L"Kept", L"", L"stays"},
      {L"Gone\\Deep\\Deeper", L"Name", L"goes"},
  };
  ASSERT_EQ(brennow::win::writeRegistryEntries(root(), entries, std::vector<std::wstring>{}), S_OK);
  const std::vector<std::wstring> trees = {L"Gone", L"NeverWritten"};
  EXPECT_EQ(brennow::win::removeRegistryTrees(root(), trees), S_OK);
  EXPECT_FALSE(exists(L"Gone"));
  EXPECT_EQ(text(L"Kept"), L"stays");
  EXPECT_EQ(brennow::win::removeRegistryTrees(root(), trees), S_OK) << "twice";
}

} // namespace
