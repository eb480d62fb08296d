// Self-registration of the three creatable classes. Test and demo prefixes only.
#include "common/win/automation.h"
#include "standin/Guids.h"

#include <windows.h>

#include <olectl.h>

#include <array>
#include <memory>
#include <string>

namespace {

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

struct KeyCloser {
  void operator()(HKEY key) const noexcept { RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

std::wstring classKeyPath(const CLSID &clsid) {
  wchar_t text[40] = {};
  StringFromGUID2(clsid, text, static_cast<int>(std::size(text)));
  return std::wstring(L"CLSID\\") + text;
}

Key createKey(const std::wstring &path) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return nullptr;
  return Key(key);
}

bool setText(const Key &key, const wchar_t *name, const std::wstring &value) {
  const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                        bytes) == ERROR_SUCCESS;
}

bool registerClass(const RegisteredClass &registered, const std::wstring &dll) {
  const auto path = classKeyPath(registered.clsid);
  const auto classKey = createKey(path);
  const auto serverKey = createKey(path + L"\\InprocServer32");
  return classKey && serverKey && setText(classKey, nullptr, registered.description) &&
         setText(serverKey, nullptr, dll) && setText(serverKey, L"ThreadingModel", L"Apartment");
}

bool unregisterClass(const RegisteredClass &registered) {
  const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, classKeyPath(registered.clsid).c_str());
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

} // namespace

STDAPI DllRegisterServer() {
  try {
    const auto dll = brennow::win::thisModulePath();
    if (dll.empty())
      return SELFREG_E_CLASS;
    for (const auto &registered : registeredClasses) {
      if (!registerClass(registered, dll))
        return SELFREG_E_CLASS;
    }
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDAPI DllUnregisterServer() {
  try {
    bool removed = true;
    for (const auto &registered : registeredClasses)
      removed = unregisterClass(registered) && removed;
    return removed ? S_OK : SELFREG_E_CLASS;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
