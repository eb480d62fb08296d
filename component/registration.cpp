#include "component/registration.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "common/win/automation.h"
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

std::wstring guidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// One registry value under HKEY_CLASSES_ROOT; an empty name is the key's default value.
struct RegistryEntry {
  std::wstring key;
  std::wstring name;
  std::wstring value;
};

std::wstring clsidKey() { return L"CLSID\\" + guidText(CLSID_vmwarecom); }

std::vector<RegistryEntry> registryEntries(const std::wstring &serverPath) {
  const std::wstring clsid = clsidKey();
  return {
      {clsid, L"", kProgId},
      {clsid + L"\\InprocServer32", L"", serverPath},
      {clsid + L"\\InprocServer32", L"ThreadingModel", kThreadingModel},
      {clsid + L"\\ProgID", L"", kProgId},
      {clsid + L"\\VERSION", L"", L"1.0"},
      {clsid + L"\\TypeLib", L"", guidText(LIBID_brennow)},
      {clsid + L"\\Programmable", L"", L""},
      {kProgId, L"", kClassName},
      {std::wstring(kProgId) + L"\\CLSID", L"", guidText(CLSID_vmwarecom)},
  };
}

// Keys removed whole on unregistration.
std::vector<std::wstring> registryRoots() { return {clsidKey(), kProgId}; }

HRESULT writeEntry(const RegistryEntry &entry) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, entry.key.c_str(), 0, nullptr, 0,
                                   KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS)
    return HRESULT_FROM_WIN32(status);
  status = RegSetValueExW(key, entry.name.empty() ? nullptr : entry.name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE *>(entry.value.c_str()),
                          static_cast<DWORD>((entry.value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return HRESULT_FROM_WIN32(status);
}

HRESULT registerTypeLibrary(const std::wstring &serverPath) {
  ComPtr<ITypeLib> typeLib;
  HRESULT hr = LoadTypeLibEx(serverPath.c_str(), REGKIND_NONE, &typeLib);
  if (FAILED(hr))
    return hr;
  std::wstring helpDir = serverPath.substr(0, serverPath.find_last_of(L"\\/"));
  return RegisterTypeLib(typeLib.Get(), const_cast<LPOLESTR>(serverPath.c_str()), helpDir.data());
}

// Unregistering what is not registered succeeds: look before removing the library.
bool typeLibraryRegistered() {
  const std::wstring key = L"TypeLib\\" + guidText(LIBID_brennow) + L"\\1.0\\0\\" +
                           (kSysKind == SYS_WIN64 ? L"win64" : L"win32");
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
    return false;
  RegCloseKey(handle);
  return true;
}

} // namespace

HRESULT registerServer() {
  const std::wstring serverPath = win::thisModulePath();
  if (serverPath.empty())
    return HRESULT_FROM_WIN32(GetLastError());
  HRESULT hr = registerTypeLibrary(serverPath);
  if (FAILED(hr))
    return hr;
  for (const auto &entry : registryEntries(serverPath)) {
    hr = writeEntry(entry);
    if (FAILED(hr)) {
      unregisterServer();
      return hr;
    }
  }
  return S_OK;
}

HRESULT unregisterServer() {
  HRESULT result = S_OK;
  for (const auto &root : registryRoots()) {
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, root.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
      result = HRESULT_FROM_WIN32(status);
  }
  if (typeLibraryRegistered()) {
    const HRESULT hr = UnRegisterTypeLib(LIBID_brennow, kLibMajor, kLibMinor, 0, kSysKind);
    if (FAILED(hr) && SUCCEEDED(result))
      result = hr;
  }
  return result;
}

} // namespace brennow
