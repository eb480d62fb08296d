#include "standin/Environment.h"

#include "common/utf8.h"
#include "standin/ComValues.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>

namespace standin {

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
using FileHandle = std::unique_ptr<void, HandleCloser>;

// Shared for reading, writing and deleting: a test may rewrite or remove either file
// while the stand-in is loaded.
FileHandle openShared(const std::wstring &path, DWORD access, DWORD disposition) {
  HANDLE handle =
      CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  return FileHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

std::optional<std::string> readWholeFile(const std::wstring &path) {
  const auto file = openShared(path, GENERIC_READ, OPEN_EXISTING);
  if (!file)
    return std::nullopt;
  std::string bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    bytes.append(buffer, got);
  return bytes;
}

Fault inventoryFault(std::wstring description) {
  return immediateFault(faultCode::inventory, L"vmstandin inventory: " + std::move(description));
}

} // namespace

Outcome<std::shared_ptr<const Inventory>> loadInventory() {
  const auto path = environmentValue(inventoryVariable);
  if (!path)
    return inventoryFault(std::wstring(inventoryVariable) + L" is not set");
  const auto bytes = readWholeFile(*path);
  if (!bytes)
    return inventoryFault(L"cannot read " + *path);
  if (!brennow::isUtf8(*bytes))
    return inventoryFault(*path + L" is not UTF-8 text");
  try {
    return std::make_shared<const Inventory>(parseInventory(brennow::fromUtf8(*bytes)));
  } catch (const InventoryError &error) {
    return inventoryFault(*path + L" line " + std::to_wstring(error.line()) + L": " +
                          error.message());
  }
}

void logOperation(std::wstring_view line) {
  const auto path = environmentValue(logVariable);
  if (!path)
    return;
  // One open, write and close per line: nothing is buffered when a test reads the file.
  const auto file = openShared(*path, FILE_APPEND_DATA, OPEN_ALWAYS);
  if (!file)
    return;
  const std::string bytes = brennow::toUtf8(line) + '\n';
  DWORD written = 0;
  WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void waitFor(const Inventory &inventory, const Host *host, Operation operation) {
  const auto ms = inventory.delayMs(operation, host);
  if (ms > 0)
    Sleep(static_cast<DWORD>(std::min<std::uint64_t>(ms, INFINITE - 1)));
}

} // namespace standin
