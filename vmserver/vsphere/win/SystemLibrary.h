#pragma once
// The system libraries the web-services adapter calls, loaded at run time: hosts that check
// through the automation component never load them, and the toolchain has no import
// library for xmllite.dll.
#include <windows.h>

#include <cstring>
#include <string>

#include "vmserver/vsphere/Errors.h"

namespace brennow::vmserver::vsphere {

// A library from the system folder, held for the life of the object and pinned for the life
// of the process once loaded: a monitoring host checks every minute, and loading it again
// for each check costs more than the check's own work.
class SystemLibrary {
public:
  // Throws AutomationError when the library cannot be loaded.
  explicit SystemLibrary(const wchar_t *name);
  SystemLibrary(const SystemLibrary &) = delete;
  SystemLibrary &operator=(const SystemLibrary &) = delete;
  ~SystemLibrary() { FreeLibrary(module_); }

  // Throws AutomationError when the library lacks `name`.
  template <typename Function> Function function(const char *name) const {
    const auto address = GetProcAddress(module_, name);
    if (!address)
      throw adapterError(L"A system library lacks the function " +
                         std::wstring(name, name + std::strlen(name)));
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
  }

private:
  HMODULE module_;
};

} // namespace brennow::vmserver::vsphere
