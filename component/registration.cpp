#include "component/registration.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "common/win/automation.h"
#include "common/win/registry.h"
#include "component/brennow_h.h"

using Microsoft::WRL::ComPtr;

namespace brennow {
namespace {

constexpr wchar_t kProgId[] = L"brennow.vmwarecom";
constexpr wchar_t kClassName[] = L"vmwarecom";
constexpr wchar_t kThreadingModel[] = L"Apartment";
constexpr WORD kLibMajor = 1, kLibMinor = 0;

#ifdef _WIN64
constexpr SYSKIND kSysKind = SYS_WIN64;
#else
constexpr SYSKIND kSysKind = SYS_WIN32;
#endif

std::wstring clsidKey() { return L"CLSID\\" + win::guidText(CLSID_vmwarecom); }

// The values under HKEY_CLASSES_ROOT that make the class creatable by class id and ProgID.
std::vector<win::RegistryEntry> registryEntries(const std::wstring &serverPath) {
  const std::wstring clsid = clsidKey();
  return {
      {clsid, L"", kProgId},
      {clsid + L"\\InprocServer32", L"", serverPath},
      {clsid + L"\\InprocServer32", L"ThreadingModel", kThreadingModel},
      {clsid + L"\\ProgID", L"", kProgId},
      {clsid + L"\\VERSION", L"", L"1.0"},
      {clsid + L"\\TypeLib", L"", win::guidText(LIBID_brennow)},
      {clsid + L"\\Programmable", L"", L""},
      {kProgId, L"", kClassName},
      {std::wstring(kProgId) + L"\\CLSID", L"", win::guidText(CLSID_vmwarecom)},
  };
}

// Keys removed whole on unregistration.
std::vector<std::wstring> registryRoots() { return {clsidKey(), kProgId}; }

HRESULT registerTypeLibrary(const std::wstring &serverPath) {
  ComPtr<ITypeLib> typeLib;
  HRESULT hr = LoadTypeLibEx(serverPath.c_str(), REGKIND_NONE, &typeLib);
  if (FAILED(hr))
    return hr;
  std::wstring helpDir = serverPath.substr(0, serverPath.find_last_of(L"\\/"));
  return RegisterTypeLib(typeLib.Get(), const_cast<LPOLESTR>(serverPath.c_str()), helpDir.data());
}

// Unregistering what is not registered succeeds: look before removing the library.
HRESULT unregisterTypeLibrary() {
  const std::wstring key = L"TypeLib\\" + win::guidText(LIBID_brennow) + L"\\1.0\\0\\" +
                           (kSysKind == SYS_WIN64 ? L"win64" : L"win32");
  if (!win::registryKeyExists(HKEY_CLASSES_ROOT, key))
    return S_OK;
  return UnRegisterTypeLib(LIBID_brennow, kLibMajor, kLibMinor, 0, kSysKind);
}

} // namespace

HRESULT registerServer() {
  const std::wstring serverPath = win::thisModulePath();
  if (serverPath.empty())
    return HRESULT_FROM_WIN32(GetLastError());
  HRESULT hr = registerTypeLibrary(serverPath);
  if (FAILED(hr))
    return hr;
  hr = win::writeRegistryEntries(HKEY_CLASSES_ROOT, registryEntries(serverPath), registryRoots());
  if (FAILED(hr))
    unregisterTypeLibrary();
  return hr;
}

HRESULT unregisterServer() {
  const HRESULT keys = win::removeRegistryTrees(HKEY_CLASSES_ROOT, registryRoots());
  const HRESULT typeLibrary = unregisterTypeLibrary();
  return FAILED(keys) ? keys : typeLibrary;
}

} // namespace brennow
