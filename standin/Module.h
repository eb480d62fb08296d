#pragma once
// Process-wide counts that decide whether the DLL may be unloaded.
#include <windows.h>

namespace standin {

void objectCreated() noexcept;
void objectDestroyed() noexcept;
LONG liveObjects() noexcept;

// Held by LockServer and by every class object alive.
void lockModule() noexcept;
void unlockModule() noexcept;
LONG moduleLocks() noexcept;

} // namespace standin
