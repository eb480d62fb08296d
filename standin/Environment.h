#pragma once
// What the stand-in takes from its process environment, read anew at every use so
// that a test can change it between two calls: the inventory file and the log file.
#include "standin/Session.h"

#include <memory>
#include <string_view>

namespace standin {

inline constexpr wchar_t inventoryVariable[] = L"BRENNOW_STANDIN_INVENTORY";
inline constexpr wchar_t logVariable[] = L"BRENNOW_STANDIN_LOG";

// Reads and parses the inventory named by BRENNOW_STANDIN_INVENTORY.
Outcome<std::shared_ptr<const Inventory>> loadInventory();

// Appends one line to the file named by BRENNOW_STANDIN_LOG, if it names one.
void logOperation(std::wstring_view line);

// Holds the calling thread for the inventory's delay of `operation` on `host`.
void waitFor(const Inventory &inventory, const Host *host, Operation operation);

} // namespace standin
