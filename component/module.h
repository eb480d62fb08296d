#pragma once
// Liveness of the module: objects alive and locks on the class factory decide
// whether the library may be unloaded.
namespace brennow::module {

void objectCreated() noexcept;
void objectDestroyed() noexcept;
void lock() noexcept;
void unlock() noexcept;
bool canUnload() noexcept;

} // namespace brennow::module
