#pragma once
// Registry keys owned like any other handle, and self-registration as a table of values
// that is written whole or not at all.
#include <windows.h>

#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace brennow::win {

// Owns one open registry key.
class RegistryKey {
public:
  RegistryKey() noexcept = default;
  RegistryKey(const RegistryKey &) = delete;
  RegistryKey &operator=(const RegistryKey &) = delete;
  RegistryKey(RegistryKey &&other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
  RegistryKey &operator=(RegistryKey &&other) noexcept;
  ~RegistryKey() { close(); }

  // Opens `path` below `root`, creating what is missing; returns the registry's status.
  LSTATUS create(HKEY root, const std::wstring &path, REGSAM access);
  // Opens an existing key; returns the registry's status.
  LSTATUS open(HKEY root, const std::wstring &path, REGSAM access);

  HKEY get() const noexcept { return key_; }
  explicit operator bool() const noexcept { return key_ != nullptr; }

  // Writes a REG_SZ value; `name` nullptr or "" is the key's default value.
  LSTATUS setText(const wchar_t *name, std::wstring_view value) const;

private:
  void close() noexcept;

  HKEY key_ = nullptr;
};

bool registryKeyExists(HKEY root, const std::wstring &path);

// One REG_SZ value a server registers; an empty name is the key's default value.
struct RegistryEntry {
  std::wstring key;
  std::wstring name;
  std::wstring value;
};

// Writes `entries` below `root`. On the first failure it removes `ownedTrees` (the keys
// the entries belong to), so that nothing half-written stays behind, and returns the
// failure as an HRESULT.
HRESULT writeRegistryEntries(HKEY root, std::span<const RegistryEntry> entries,
                             std::span<const std::wstring> ownedTrees);

// Removes each tree below `root` with all it holds. A tree that is not there is no
// failure; otherwise the last failure is returned.
HRESULT removeRegistryTrees(HKEY root, std::span<const std::wstring> trees);

} // namespace brennow::win
