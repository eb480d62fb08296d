// brennow.dll as hosts see it: its registered type library, class factory, entry points,
// resources, export and import tables, registration, and the four properties through
// IDispatch and through the vtable.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "common/win/automation.h"
#include "component/brennow_h.h"
#include "tests/wine/wintest.h"

using brennow::win::Bstr;
using brennow::win::Variant;
using Microsoft::WRL::ComPtr;
using namespace wintest;

namespace {

#ifdef _WIN64
constexpr SYSKIND kSysKind = SYS_WIN64;
constexpr wchar_t kPlatformKey[] = L"win64";
#else
constexpr SYSKIND kSysKind = SYS_WIN32;
constexpr wchar_t kPlatformKey[] = L"win32";
#endif

constexpr wchar_t kClsidText[] = L"{AB26CB4D-4D32-4407-A460-6F3A900F6DF2}";
constexpr wchar_t kLibidText[] = L"{80CF4F73-BD0A-4905-BA51-FBF4B18C431A}";

// ---------------------------------------------------------------- type library

ComPtr<ITypeLib> registeredTypeLib() {
  ComPtr<ITypeLib> lib;
  EXPECT_EQ(LoadRegTypeLib(LIBID_brennow, 1, 0, 0, &lib), S_OK);
  return lib;
}

ComPtr<ITypeInfo> registeredTypeInfo(REFGUID guid) {
  ComPtr<ITypeInfo> info;
  if (const auto lib = registeredTypeLib()) {
    EXPECT_EQ(lib->GetTypeInfoOfGuid(guid, &info), S_OK);
  }
  return info;
}

// The description that `info` refers to as its implemented type `index` (-1: the vtable
// part of a dual interface).
ComPtr<ITypeInfo> implementedType(ITypeInfo *info, UINT index) {
  HREFTYPE ref = 0;
  ComPtr<ITypeInfo> implemented;
  EXPECT_EQ(info->GetRefTypeOfImplType(index, &ref), S_OK);
  EXPECT_EQ(info->GetRefTypeInfo(ref, &implemented), S_OK);
  return implemented;
}

// A copy of the type's attributes (without what their pointers point at).
TYPEATTR attributesOf(ITypeInfo *info) {
  TYPEATTR copy{};
  TYPEATTR *attr = nullptr;
  if (SUCCEEDED(info->GetTypeAttr(&attr))) {
    copy = *attr;
    info->ReleaseTypeAttr(attr);
  } else {
    ADD_FAILURE() << "no type attributes";
  }
  return copy;
}

// The bytes of one of brennow.dll's language-neutral resources (none when it is missing).
std::vector<BYTE> neutralResource(const wchar_t *type, const wchar_t *name) {
  const std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)> dll(
      LoadLibraryExW(brennowPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), FreeLibrary);
  std::vector<BYTE> bytes;
  if (!dll)
    return bytes;
  if (const HRSRC found =
          FindResourceExW(dll.get(), type, name, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL))) {
    const auto *data = static_cast<const BYTE *>(LockResource(LoadResource(dll.get(), found)));
    bytes.assign(data, data + SizeofResource(dll.get(), found));
  }
  return bytes;
}

TEST(TypeLibrary, LibraryAttributes) {
  auto lib = registeredTypeLib();
  ASSERT_TRUE(lib);
  TLIBATTR *attr = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
  EXPECT_EQ(attr->guid, LIBID_brennow);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  EXPECT_EQ(attr->lcid, 0u);
  EXPECT_EQ(attr->syskind, kSysKind);
  lib->ReleaseTLibAttr(attr);

  Bstr name, doc, helpFile;
  ASSERT_EQ(lib->GetDocumentation(-1, name.out(), doc.out(), nullptr, helpFile.out()), S_OK);
  EXPECT_EQ(name.text(), L"brennow");
  EXPECT_EQ(doc.text(), L"");
  const std::wstring help = helpFile.text();
  EXPECT_TRUE(help.ends_with(L"brennow.chm")) << std::string(help.begin(), help.end());
  EXPECT_EQ(lib->GetTypeInfoCount(), 2u);
}

// The help context lives in the compiled library's header (Wine's GetDocumentation
// does not report it).
TEST(TypeLibrary, EmbeddedResourceHoldsHelpContext10AndIsLanguageNeutral) {
  const std::vector<BYTE> bytes = neutralResource(L"TYPELIB", MAKEINTRESOURCEW(1));
  ASSERT_GE(bytes.size(), 0x30u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "MSFT");
  DWORD helpContext = 0;
  memcpy(&helpContext, bytes.data() + 0x2C, sizeof helpContext);
  EXPECT_EQ(helpContext, 10u);
}

struct Member {
  const wchar_t *name;
  INVOKEKIND kind;
  MEMBERID id;
};

const Member kMembers[] = {
    {L"qm_docheck", INVOKE_FUNC, 0x60030004},
    {L"qm_showGUI", INVOKE_FUNC, 0x60030005},
    {L"qm_result", INVOKE_PROPERTYPUT, 0x68030003},
    {L"qm_result", INVOKE_PROPERTYPUTREF, 0x68030003},
    {L"qm_result", INVOKE_PROPERTYGET, 0x68030003},
    {L"qm_parameter", INVOKE_PROPERTYPUT, 0x68030002},
    {L"qm_parameter", INVOKE_PROPERTYPUTREF, 0x68030002},
    {L"qm_parameter", INVOKE_PROPERTYGET, 0x68030002},
    {L"qm_timeout", INVOKE_PROPERTYPUT, 0x68030001},
    {L"qm_timeout", INVOKE_PROPERTYPUTREF, 0x68030001},
    {L"qm_timeout", INVOKE_PROPERTYGET, 0x68030001},
    {L"qm_hostname", INVOKE_PROPERTYPUT, 0x68030000},
    {L"qm_hostname", INVOKE_PROPERTYPUTREF, 0x68030000},
    {L"qm_hostname", INVOKE_PROPERTYGET, 0x68030000},
};

TEST(TypeLibrary, DispatchPartFlagsAndVtablePart) {
  const auto dispatchPart = registeredTypeInfo(IID__vmwarecom);
  ASSERT_TRUE(dispatchPart);
  const TYPEATTR dispatchAttr = attributesOf(dispatchPart.Get());
  EXPECT_EQ(dispatchAttr.typekind, TKIND_DISPATCH);
  EXPECT_EQ(dispatchAttr.wTypeFlags,
            TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE);
  EXPECT_EQ(dispatchAttr.wMajorVerNum, 1);
  EXPECT_EQ(dispatchAttr.wMinorVerNum, 0);

  const auto vtablePart = implementedType(dispatchPart.Get(), -1);
  ASSERT_TRUE(vtablePart);
  const TYPEATTR vtableAttr = attributesOf(vtablePart.Get());
  EXPECT_EQ(vtableAttr.typekind, TKIND_INTERFACE);
  EXPECT_EQ(vtableAttr.wTypeFlags & (TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE |
                                     TYPEFLAG_FOLEAUTOMATION),
            TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION);
  EXPECT_EQ(vtableAttr.cFuncs, 14);
  EXPECT_EQ(vtableAttr.cImplTypes, 1);

  // Derived from IDispatch.
  const auto base = implementedType(vtablePart.Get(), 0);
  ASSERT_TRUE(base);
  EXPECT_EQ(attributesOf(base.Get()).guid, IID_IDispatch);
}

// Member i sits in vtable slot 7 + i (after IUnknown and IDispatch), with its DISPID,
// invoke kind and the HRESULT/retval convention; no help, no parameter names.
TEST(TypeLibrary, MembersInSlotOrder) {
  const auto dispatchPart = registeredTypeInfo(IID__vmwarecom);
  ASSERT_TRUE(dispatchPart);
  const auto vtablePart = implementedType(dispatchPart.Get(), -1);
  ASSERT_TRUE(vtablePart);

  for (UINT i = 0; i < std::size(kMembers); ++i) {
    const Member &expected = kMembers[i];
    SCOPED_TRACE(i);
    FUNCDESC *func = nullptr;
    ASSERT_EQ(vtablePart->GetFuncDesc(i, &func), S_OK);
    EXPECT_EQ(func->memid, expected.id);
    EXPECT_EQ(func->invkind, expected.kind);
    EXPECT_EQ(func->oVft, static_cast<SHORT>((7 + i) * sizeof(void *)));
    EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_HRESULT);
    const bool takesVariant =
        expected.kind == INVOKE_PROPERTYPUT || expected.kind == INVOKE_PROPERTYPUTREF;
    const bool returnsValue = expected.kind == INVOKE_PROPERTYGET || expected.id == 0x60030004;
    EXPECT_EQ(func->cParams, (takesVariant || returnsValue) ? 1 : 0);
    if (takesVariant) {
      EXPECT_EQ(func->lprgelemdescParam[0].tdesc.vt, VT_VARIANT);
      EXPECT_EQ(func->lprgelemdescParam[0].paramdesc.wParamFlags, PARAMFLAG_FIN);
    }
    if (returnsValue) {
      EXPECT_EQ(func->lprgelemdescParam[0].tdesc.vt, VT_PTR);
      EXPECT_EQ(func->lprgelemdescParam[0].tdesc.lptdesc->vt,
                expected.id == 0x60030004 ? VT_BOOL : VT_VARIANT);
      EXPECT_EQ(func->lprgelemdescParam[0].paramdesc.wParamFlags,
                PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
    }
    Bstr name, doc;
    DWORD helpContext = 1;
    ASSERT_EQ(
        vtablePart->GetDocumentation(func->memid, name.out(), doc.out(), &helpContext, nullptr),
        S_OK);
    EXPECT_EQ(name.text(), expected.name);
    EXPECT_EQ(doc.text(), L"");
    EXPECT_EQ(helpContext, 0u);
    vtablePart->ReleaseFuncDesc(func);
  }

  // What late-bound clients see: each name under its DISPID, parameters unnamed.
  for (const Member &member : kMembers) {
    LPOLESTR name = const_cast<LPOLESTR>(member.name);
    MEMBERID id = 0;
    ASSERT_EQ(dispatchPart->GetIDsOfNames(&name, 1, &id), S_OK);
    EXPECT_EQ(id, member.id);
    Bstr names[4];
    UINT count = 0;
    BSTR raw[4] = {};
    ASSERT_EQ(dispatchPart->GetNames(member.id, raw, 4, &count), S_OK);
    for (UINT k = 0; k < count; ++k)
      *names[k].out() = raw[k];
    EXPECT_EQ(count, 1u) << "parameters carry no names";
  }
}

TEST(TypeLibrary, CoclassIsCreatableWithOneDefaultInterface) {
  const auto coclass = registeredTypeInfo(CLSID_vmwarecom);
  ASSERT_TRUE(coclass);
  const TYPEATTR attr = attributesOf(coclass.Get());
  EXPECT_EQ(attr.typekind, TKIND_COCLASS);
  EXPECT_EQ(attr.wTypeFlags, TYPEFLAG_FCANCREATE);
  EXPECT_EQ(attr.cImplTypes, 1);
  EXPECT_EQ(attr.wMajorVerNum, 1);
  INT flags = 0;
  ASSERT_EQ(coclass->GetImplTypeFlags(0, &flags), S_OK);
  EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT);
  Bstr name;
  ASSERT_EQ(coclass->GetDocumentation(MEMBERID_NIL, name.out(), nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(name.text(), L"vmwarecom");
}

// ---------------------------------------------------------------- creation

TEST(Creation, ByProgIdAndByClsid) {
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(L"brennow.vmwarecom", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_vmwarecom);
  ComPtr<_vmwarecom> byClsid;
  ASSERT_EQ(
      CoCreateInstance(CLSID_vmwarecom, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&byClsid)),
      S_OK);
  ComPtr<IDispatch> byProgId = createPlugin();
  ASSERT_TRUE(byProgId);
  ComPtr<ISupportErrorInfo> errorInfo;
  ASSERT_EQ(byClsid.As(&errorInfo), S_OK);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID__vmwarecom), S_OK);
  ComPtr<ITypeInfo> typeInfo;
  ASSERT_EQ(byProgId->GetTypeInfo(0, 0, &typeInfo), S_OK);
}

using EntryPoint = HRESULT(WINAPI *)();
using GetClassObject = HRESULT(WINAPI *)(REFCLSID, REFIID, void **);

class DirectLoad : public ::testing::Test {
protected:
  void SetUp() override {
    dll_ = LoadLibraryW(brennowPath().c_str());
    ASSERT_TRUE(dll_);
    canUnloadNow_ = reinterpret_cast<EntryPoint>(
        reinterpret_cast<void *>(GetProcAddress(dll_, "DllCanUnloadNow")));
    getClassObject_ = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void *>(GetProcAddress(dll_, "DllGetClassObject")));
    ASSERT_TRUE(canUnloadNow_ && getClassObject_);
  }
  void TearDown() override {
    if (dll_)
      FreeLibrary(dll_);
  }
  ComPtr<IClassFactory> factory() {
    ComPtr<IClassFactory> f;
    EXPECT_EQ(getClassObject_(CLSID_vmwarecom, IID_PPV_ARGS(&f)), S_OK);
    return f;
  }

  HMODULE dll_ = nullptr;
  EntryPoint canUnloadNow_ = nullptr;
  GetClassObject getClassObject_ = nullptr;
};

TEST_F(DirectLoad, CanUnloadOnlyWhenNothingIsAliveOrLocked) {
  EXPECT_EQ(canUnloadNow_(), S_OK);
  {
    auto f = factory();
    ComPtr<IDispatch> first, second;
    ASSERT_EQ(f->CreateInstance(nullptr, IID_PPV_ARGS(&first)), S_OK);
    ASSERT_EQ(f->CreateInstance(nullptr, IID_PPV_ARGS(&second)), S_OK);
    f.Reset();
    EXPECT_EQ(canUnloadNow_(), S_FALSE);
    first.Reset();
    EXPECT_EQ(canUnloadNow_(), S_FALSE);
    second.Reset();
  }
  EXPECT_EQ(canUnloadNow_(), S_OK);
  {
    auto f = factory();
    ASSERT_EQ(f->LockServer(TRUE), S_OK);
    f.Reset();
    EXPECT_EQ(canUnloadNow_(), S_FALSE);
    f = factory();
    ASSERT_EQ(f->LockServer(FALSE), S_OK);
  }
  EXPECT_EQ(canUnloadNow_(), S_OK);
}

TEST_F(DirectLoad, FactoryRefusesOtherClassesAndAggregation) {
  ComPtr<IClassFactory> other;
  EXPECT_EQ(getClassObject_(IID_IDispatch, IID_PPV_ARGS(&other)), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_FALSE(other);
  auto f = factory();
  ComPtr<IUnknown> outer;
  ASSERT_EQ(f->CreateInstance(nullptr, IID_PPV_ARGS(&outer)), S_OK);
  ComPtr<IUnknown> aggregated;
  EXPECT_EQ(f->CreateInstance(outer.Get(), IID_IUnknown, &aggregated), CLASS_E_NOAGGREGATION);
  EXPECT_FALSE(aggregated);
  ComPtr<IPersist> unsupported;
  EXPECT_EQ(f->CreateInstance(nullptr, IID_PPV_ARGS(&unsupported)), E_NOINTERFACE);
}

TEST_F(DirectLoad, UnloadsThroughCoFreeUnusedLibraries) {
  {
    ComPtr<IDispatch> plugin = createPlugin();
    ASSERT_TRUE(plugin);
  }
  CoFreeUnusedLibrariesEx(0, 0);
  CoFreeUnusedLibrariesEx(0, 0);
  EXPECT_EQ(canUnloadNow_(), S_OK);
}

// ---------------------------------------------------------------- resources

TEST(Resources, InterfaceIdBlock) {
  const std::vector<BYTE> bytes = neutralResource(L"_IID_VMWARECOM", MAKEINTRESOURCEW(1));
  ASSERT_EQ(bytes.size(), 20u);
  DWORD size = 0;
  memcpy(&size, bytes.data(), 4);
  EXPECT_EQ(size, 16u);
  IID iid;
  memcpy(&iid, bytes.data() + 4, 16);
  EXPECT_EQ(iid, IID__vmwarecom);
}

std::wstring versionString(const std::vector<BYTE> &block, const wchar_t *name) {
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  LPVOID value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), path.c_str(), &value, &length))
    return L"<missing>";
  return length ? std::wstring(static_cast<const wchar_t *>(value)) : std::wstring();
}

TEST(Resources, VersionResource) {
  const std::wstring path = brennowPath();
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<LPVOID *>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(0, 1));
  EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(7, 0));
  EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(0, 1));
  EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(7, 0));
  EXPECT_EQ(fixed->dwFileFlags, 0u);
  EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

  EXPECT_NE(versionString(block, L"CompanyName"), L"<missing>");
  EXPECT_EQ(versionString(block, L"ProductName"), L"Corvalen");
  EXPECT_EQ(versionString(block, L"FileVersion"), L"1.00.0007");
  EXPECT_EQ(versionString(block, L"ProductVersion"), L"1.00.0007");
  EXPECT_EQ(versionString(block, L"InternalName"), L"brennow");
  EXPECT_EQ(versionString(block, L"OriginalFilename"), L"brennow.dll");
  EXPECT_EQ(versionString(block, L"OLESelfRegister"), L"");

  WORD *translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<LPVOID *>(&translation), &length));
  ASSERT_GE(length, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 0x04B0);
}

// ---------------------------------------------------------------- PE tables

// The image as mapped by the loader without running it.
struct MappedImage {
  HMODULE module = LoadLibraryExW(brennowPath().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ~MappedImage() {
    if (module)
      FreeLibrary(module);
  }
  const BYTE *base() const { return reinterpret_cast<const BYTE *>(module); }
  const IMAGE_DATA_DIRECTORY &directory(int index) const {
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base());
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base() + dos->e_lfanew);
    return nt->OptionalHeader.DataDirectory[index];
  }
};

TEST(PeTables, ExportsExactlyTheFourEntryPointsAtOrdinals1To4) {
  MappedImage image;
  ASSERT_TRUE(image.module);
  const auto &dir = image.directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
  ASSERT_NE(dir.VirtualAddress, 0u);
  const auto *exports =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY *>(image.base() + dir.VirtualAddress);
  ASSERT_EQ(exports->NumberOfNames, 4u);
  ASSERT_EQ(exports->NumberOfFunctions, 4u);
  EXPECT_EQ(exports->Base, 1u);
  const auto *names = reinterpret_cast<const DWORD *>(image.base() + exports->AddressOfNames);
  const auto *ordinals =
      reinterpret_cast<const WORD *>(image.base() + exports->AddressOfNameOrdinals);
  std::set<std::pair<std::string, DWORD>> found;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    found.emplace(reinterpret_cast<const char *>(image.base() + names[i]),
                  ordinals[i] + exports->Base);
  const std::set<std::pair<std::string, DWORD>> expected = {{"DllCanUnloadNow", 1},
                                                            {"DllGetClassObject", 2},
                                                            {"DllRegisterServer", 3},
                                                            {"DllUnregisterServer", 4}};
  EXPECT_EQ(found, expected);
}

TEST(PeTables, ImportsOnlyWindowsSystemLibraries) {
  MappedImage image;
  ASSERT_TRUE(image.module);
  const auto &dir = image.directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
  const auto *entry =
      reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(image.base() + dir.VirtualAddress);
  const std::set<std::string> system = {
      "kernel32.dll", "user32.dll",  "gdi32.dll",    "advapi32.dll", "ole32.dll",
      "oleaut32.dll", "msvcrt.dll",  "comctl32.dll", "version.dll",  "shell32.dll",
      "shlwapi.dll",  "uxtheme.dll", "imm32.dll"};
  int count = 0;
  for (; entry->Name; ++entry, ++count) {
    std::string name(reinterpret_cast<const char *>(image.base() + entry->Name));
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    const bool allowed = system.count(name) || name.starts_with("api-ms-win-");
    EXPECT_TRUE(allowed) << name;
  }
  EXPECT_GT(count, 0);
}

// ---------------------------------------------------------------- registration

std::wstring lower(std::wstring text) {
  std::transform(text.begin(), text.end(), text.begin(), ::towlower);
  return text;
}

class Registration : public DirectLoad {
protected:
  void TearDown() override {
    // Leave the component registered for the suites that follow.
    if (dll_) {
      EXPECT_EQ(entry("DllRegisterServer")(), S_OK);
    }
    DirectLoad::TearDown();
  }
  EntryPoint entry(const char *name) {
    return reinterpret_cast<EntryPoint>(reinterpret_cast<void *>(GetProcAddress(dll_, name)));
  }
  void expectRegistered() {
    const std::wstring clsid = std::wstring(L"CLSID\\") + kClsidText;
    EXPECT_EQ(lower(registryText(clsid + L"\\InprocServer32").value_or(L"")), lower(brennowPath()));
    EXPECT_EQ(registryText(clsid + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(registryText(clsid + L"\\ProgID"), L"brennow.vmwarecom");
    EXPECT_EQ(registryText(clsid + L"\\TypeLib"), kLibidText);
    EXPECT_EQ(registryText(L"brennow.vmwarecom\\CLSID"), kClsidText);
    EXPECT_TRUE(
        registryKeyExists(std::wstring(L"TypeLib\\") + kLibidText + L"\\1.0\\0\\" + kPlatformKey));
  }
  void expectUnregistered() {
    EXPECT_FALSE(registryKeyExists(std::wstring(L"CLSID\\") + kClsidText));
    EXPECT_FALSE(registryKeyExists(L"brennow.vmwarecom"));
    EXPECT_FALSE(
        registryKeyExists(std::wstring(L"TypeLib\\") + kLibidText + L"\\1.0\\0\\" + kPlatformKey));
  }
};

TEST_F(Registration, RegisterUnregisterAndAgain) {
  const auto registerServer = entry("DllRegisterServer");
  const auto unregisterServer = entry("DllUnregisterServer");
  ASSERT_TRUE(registerServer && unregisterServer);

  ASSERT_EQ(registerServer(), S_OK);
  ASSERT_EQ(registerServer(), S_OK) << "registering twice";
  expectRegistered();

  ASSERT_EQ(unregisterServer(), S_OK);
  expectUnregistered();
  EXPECT_EQ(unregisterServer(), S_OK) << "unregistering when not registered";
  expectUnregistered();

  ASSERT_EQ(registerServer(), S_OK);
  expectRegistered();
  ComPtr<IDispatch> plugin = createPlugin();
  EXPECT_TRUE(plugin);
}

// ---------------------------------------------------------------- properties

const wchar_t *const kProperties[] = {L"qm_hostname", L"qm_timeout", L"qm_parameter", L"qm_result"};

TEST(Properties, NewObjectReadsEmpty) {
  auto plugin = createPlugin();
  ASSERT_TRUE(plugin);
  for (const wchar_t *name : kProperties) {
    Variant value;
    ASSERT_EQ(invoke(plugin.Get(), name, DISPATCH_PROPERTYGET, {}, value.get()), S_OK);
    EXPECT_EQ(V_VT(value.get()), VT_EMPTY) << name;
  }
}

TEST(Properties, LetStoresValuesOfEveryKindUnchanged) {
  auto plugin = createPlugin();
  ASSERT_TRUE(plugin);
  for (const wchar_t *name : kProperties) {
    SCOPED_TRACE(std::string(name, name + wcslen(name)));
    Variant text;
    *text.get() = textVariant(L"  srv1  ");
    ASSERT_EQ(putProperty(plugin.Get(), name, *text.get()), S_OK);
    Variant back;
    ASSERT_EQ(invoke(plugin.Get(), name, DISPATCH_PROPERTYGET, {}, back.get()), S_OK);
    EXPECT_EQ(wintest::text(*back.get()), L"  srv1  ");

    ASSERT_EQ(putProperty(plugin.Get(), name, int32Variant(30)), S_OK);
    ASSERT_EQ(invoke(plugin.Get(), name, DISPATCH_PROPERTYGET, {}, back.out()), S_OK);
    EXPECT_EQ(V_VT(back.get()), VT_I4);
    EXPECT_EQ(V_I4(back.get()), 30);

    VARIANT empty;
    VariantInit(&empty);
    ASSERT_EQ(putProperty(plugin.Get(), name, empty), S_OK);
    ASSERT_EQ(invoke(plugin.Get(), name, DISPATCH_PROPERTYGET, {}, back.out()), S_OK);
    EXPECT_EQ(V_VT(back.get()), VT_EMPTY);
  }
}

TEST(Properties, LetWithByReferenceVariantStoresTheValue) {
  auto plugin = createPlugin();
  ASSERT_TRUE(plugin);
  LONG callerVariable = 5;
  VARIANT byRef;
  V_VT(&byRef) = VT_I4 | VT_BYREF;
  V_I4REF(&byRef) = &callerVariable;
  ASSERT_EQ(putProperty(plugin.Get(), L"qm_timeout", byRef), S_OK);
  callerVariable = 99;
  Variant back;
  ASSERT_EQ(invoke(plugin.Get(), L"qm_timeout", DISPATCH_PROPERTYGET, {}, back.get()), S_OK);
  ASSERT_EQ(V_VT(back.get()), VT_I4);
  EXPECT_EQ(V_I4(back.get()), 5);
}

TEST(Properties, SetKeepsObjectIdentityAndAcceptsNothing) {
  auto plugin = createPlugin();
  auto other = createPlugin();
  ASSERT_TRUE(plugin && other);
  for (const wchar_t *name : kProperties) {
    VARIANT object;
    V_VT(&object) = VT_DISPATCH;
    V_DISPATCH(&object) = other.Get();
    ASSERT_EQ(putProperty(plugin.Get(), name, object, true), S_OK);
    Variant back;
    ASSERT_EQ(invoke(plugin.Get(), name, DISPATCH_PROPERTYGET, {}, back.get()), S_OK);
    ASSERT_EQ(V_VT(back.get()), VT_DISPATCH);
    ComPtr<IUnknown> a, b;
    other.As(&a);
    V_DISPATCH(back.get())->QueryInterface(IID_PPV_ARGS(&b));
    EXPECT_EQ(a.Get(), b.Get()) << "same object, not a copy";

    VARIANT nothing;
    V_VT(&nothing) = VT_DISPATCH;
    V_DISPATCH(&nothing) = nullptr;
    ASSERT_EQ(putProperty(plugin.Get(), name, nothing, true), S_OK);
    ASSERT_EQ(invoke(plugin.Get(), name, DISPATCH_PROPERTYGET, {}, back.out()), S_OK);
    EXPECT_EQ(V_VT(back.get()), VT_DISPATCH);
    EXPECT_EQ(V_DISPATCH(back.get()), nullptr);
  }
}

TEST(Properties, SetWithNonObjectFailsWithObjectRequired) {
  auto plugin = createPlugin();
  ASSERT_TRUE(plugin);
  ASSERT_EQ(putProperty(plugin.Get(), L"qm_result", int32Variant(1)), S_OK);
  EXCEPINFO exception{};
  const HRESULT hr = putProperty(plugin.Get(), L"qm_result", int32Variant(7), true, &exception);
  EXPECT_EQ(hr, DISP_E_EXCEPTION);
  if (exception.pfnDeferredFillIn)
    exception.pfnDeferredFillIn(&exception);
  EXPECT_EQ(static_cast<DWORD>(exception.scode), 0x800A01A8u);
  EXPECT_EQ(std::wstring(exception.bstrDescription ? exception.bstrDescription : L""),
            L"Object required");
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrHelpFile);
  Variant back;
  ASSERT_EQ(invoke(plugin.Get(), L"qm_result", DISPATCH_PROPERTYGET, {}, back.get()), S_OK);
  EXPECT_EQ(V_I4(back.get()), 1) << "the failed Set left the value alone";
}

TEST(Properties, ThroughTheVtable) {
  ComPtr<_vmwarecom> plugin;
  ASSERT_EQ(CoCreateInstance(CLSID_vmwarecom, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&plugin)),
            S_OK);
  using Put = HRESULT (STDMETHODCALLTYPE _vmwarecom::*)(VARIANT);
  using Get = HRESULT (STDMETHODCALLTYPE _vmwarecom::*)(VARIANT *);
  struct Accessors {
    Put let, set;
    Get get;
  };
  const Accessors accessors[] = {
      {&_vmwarecom::put_qm_hostname, &_vmwarecom::putref_qm_hostname, &_vmwarecom::get_qm_hostname},
      {&_vmwarecom::put_qm_timeout, &_vmwarecom::putref_qm_timeout, &_vmwarecom::get_qm_timeout},
      {&_vmwarecom::put_qm_parameter, &_vmwarecom::putref_qm_parameter,
       &_vmwarecom::get_qm_parameter},
      {&_vmwarecom::put_qm_result, &_vmwarecom::putref_qm_result, &_vmwarecom::get_qm_result},
  };
  LONG i = 0;
  for (const auto &a : accessors) {
    ++i;
    ASSERT_EQ((plugin.Get()->*a.let)(int32Variant(i)), S_OK);
  }
  i = 0;
  for (const auto &a : accessors) {
    ++i;
    Variant back;
    ASSERT_EQ((plugin.Get()->*a.get)(back.get()), S_OK);
    EXPECT_EQ(V_VT(back.get()), VT_I4);
    EXPECT_EQ(V_I4(back.get()), i) << "each property keeps its own value";

    VARIANT self;
    V_VT(&self) = VT_DISPATCH;
    V_DISPATCH(&self) = plugin.Get();
    ASSERT_EQ((plugin.Get()->*a.set)(self), S_OK);
    ASSERT_EQ((plugin.Get()->*a.get)(back.out()), S_OK);
    EXPECT_EQ(V_DISPATCH(back.get()), static_cast<IDispatch *>(plugin.Get()));
    ASSERT_EQ((plugin.Get()->*a.let)(int32Variant(0)), S_OK); // break the self-reference
  }
}

TEST(Properties, TwoObjectsAreIndependent) {
  auto first = createPlugin();
  auto second = createPlugin();
  ASSERT_TRUE(first && second);
  Variant a, b;
  *a.get() = textVariant(L"first");
  *b.get() = textVariant(L"second");
  ASSERT_EQ(putProperty(first.Get(), L"qm_parameter", *a.get()), S_OK);
  ASSERT_EQ(putProperty(second.Get(), L"qm_parameter", *b.get()), S_OK);
  Variant back;
  ASSERT_EQ(invoke(first.Get(), L"qm_parameter", DISPATCH_PROPERTYGET, {}, back.get()), S_OK);
  EXPECT_EQ(text(*back.get()), L"first");
  ASSERT_EQ(invoke(second.Get(), L"qm_parameter", DISPATCH_PROPERTYGET, {}, back.out()), S_OK);
  EXPECT_EQ(text(*back.get()), L"second");
}

} // namespace
