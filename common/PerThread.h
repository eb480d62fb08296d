#pragma once
// A value that exists once per thread and lives while the library stays loaded.
// On Windows it sits in fiber-local storage: a C++ thread_local with a destructor hangs
// at thread exit in the 32-bit MinGW DLL. Elsewhere it is a plain thread_local.
#ifdef _WIN32
#include <windows.h>
#endif

namespace brennow {

#ifdef _WIN32
template <typename T> T &perThread() {
  struct Index {
    static void WINAPI destroy(void *value) { delete static_cast<T *>(value); }
    DWORD index = FlsAlloc(&destroy);
    ~Index() { FlsFree(index); }
  };
  static Index slot;
  auto *value = static_cast<T *>(FlsGetValue(slot.index));
  if (!value) {
    value = new T();
    FlsSetValue(slot.index, value);
  }
  return *value;
}
#else
template <typename T> T &perThread() {
  thread_local T value;
  return value;
}
#endif

} // namespace brennow
