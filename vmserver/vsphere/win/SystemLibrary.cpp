#include "vmserver/vsphere/win/SystemLibrary.h"

namespace brennow::vmserver::vsphere {

SystemLibrary::SystemLibrary(const wchar_t *name)
    : module_(LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
  if (!module_) // systems without the search flags take the plain system search
    module_ = LoadLibraryW(name);
  if (!module_)
    throw adapterError(L"The system library " + std::wstring(name) + L" cannot be loaded");
  HMODULE pinned = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, name, &pinned);
}

} // namespace brennow::vmserver::vsphere
