// Self-registration of the three creatable classes. Test and demo prefixes only.
#include "common/win/automation.h"
#include "common/win/registry.h"
#include "standin/Guids.h"

#include <windows.h>

#include <olectl.h>

#include <array>
#include <string>
#include <vector>

namespace {

using brennow::win::RegistryEntry;

struct RegisteredClass {
  const CLSID &clsid;
  const wchar_t *description;
};

const std::array<RegisteredClass, 3> registeredClasses{{
    {standin::clsidConnectParams,
     L"vmstandin connection parameters (test stand-in, not the virtualization server's component)"},
    {standin::clsidServer,
     L"vmstandin server (test stand-in, not the virtualization server's component)"},
    {standin::clsidMachine,
     L"vmstandin machine (test stand-in, not the virtualization server's component)"},
}};

std::wstring classKeyPath(const CLSID &clsid) { return L"CLSID\\" + brennow::win::guidText(clsid); }

std::vector<RegistryEntry> registryEntries(const std::wstring &dll) {
  std::vector<RegistryEntry> entries;
  for (const auto &registered : registeredClasses) {
    const auto path = classKeyPath(registered.clsid);
    entries.push_back({path, L"", registered.description});
    entries.push_back({path + L"\\InprocServer32", L"", dll});
    entries.push_back({path + L"\\InprocServer32", L"ThreadingModel", L"Apartment"});
  }
  return entries;
}

// Only the classes' own keys: CLSID itself stays.
std::vector<std::wstring> classKeys() {
  std::vector<std::wstring> keys;
  for (const auto &registered : registeredClasses)
    keys.push_back(classKeyPath(registered.clsid));
  return keys;
}

} // namespace

STDAPI DllRegisterServer() {
  try {
    const auto dll = brennow::win::thisModulePath();
    if (dll.empty())
      return SELFREG_E_CLASS;
    const HRESULT hr =
        brennow::win::writeRegistryEntries(HKEY_CLASSES_ROOT, registryEntries(dll), classKeys());
    return SUCCEEDED(hr) ? S_OK : SELFREG_E_CLASS;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDAPI DllUnregisterServer() {
  try {
    const HRESULT hr = brennow::win::removeRegistryTrees(HKEY_CLASSES_ROOT, classKeys());
    return SUCCEEDED(hr) ? S_OK : SELFREG_E_CLASS;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
