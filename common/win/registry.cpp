#include "common/win/registry.h"

namespace brennow::win {

RegistryKey &RegistryKey::operator=(RegistryKey &&other) noexcept {
  if (this != &other) {
    close();
    key_ = std::exchange(other.key_, nullptr);
  }
  return *this;
}

void RegistryKey::close() noexcept {
  if (key_)
    RegCloseKey(std::exchange(key_, nullptr));
}

LSTATUS RegistryKey::create(HKEY root, const std::wstring &path, REGSAM access) {
  close();
  return RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, access, nullptr, &key_, nullptr);
}

LSTATUS RegistryKey::open(HKEY root, const std::wstring &path, REGSAM access) {
  close();
  return RegOpenKeyExW(root, path.c_str(), 0, access, &key_);
}

LSTATUS RegistryKey::setText(const wchar_t *name, std::wstring_view value) const {
  const std::wstring terminated(value);
  return RegSetValueExW(key_, name && *name ? name : nullptr, 0, REG_SZ,
                        reinterpret_cast<const BYTE *>(terminated.c_str()),
                        static_cast<DWORD>((terminated.size() + 1) * sizeof(wchar_t)));
}

bool registryKeyExists(HKEY root, const std::wstring &path) {
  RegistryKey key;
  return key.open(root, path, KEY_READ) == ERROR_SUCCESS;
}

HRESULT writeRegistryEntries(HKEY root, std::span<const RegistryEntry> entries,
                             std::span<const std::wstring> ownedTrees) {
  for (const auto &entry : entries) {
    RegistryKey key;
    LSTATUS status = key.create(root, entry.key, KEY_SET_VALUE);
    if (status == ERROR_SUCCESS)
      status = key.setText(entry.name.c_str(), entry.value);
    if (status != ERROR_SUCCESS) {
      removeRegistryTrees(root, ownedTrees);
      return HRESULT_FROM_WIN32(status);
    }
  }
  return S_OK;
}

HRESULT removeRegistryTrees(HKEY root, std::span<const std::wstring> trees) {
  HRESULT result = S_OK;
  for (const auto &tree : trees) {
    const LSTATUS status = RegDeleteTreeW(root, tree.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
      result = HRESULT_FROM_WIN32(status);
  }
  return result;
}

} // namespace brennow::win
