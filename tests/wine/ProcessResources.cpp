#include <windows.h>

#include <psapi.h>

#include "tests/wine/ProcessResources.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace wintest {

namespace {

// Committed memory that belongs to this process alone: what PrivateUsage counts.
std::size_t committedPrivateBytes() {
  std::size_t total = 0;
  MEMORY_BASIC_INFORMATION region{};
  for (auto *address = static_cast<char *>(nullptr);
       VirtualQuery(address, &region, sizeof region) == sizeof region;) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
      total += region.RegionSize;
    char *next = static_cast<char *>(region.BaseAddress) + region.RegionSize;
    if (next <= address)
      break;
    address = next;
  }
  return total;
}

std::size_t systemPrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(),
                            reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                            sizeof counters))
    return 0;
  return counters.PrivateUsage;
}

// Open handles, found by asking for each handle value's flags. Handle values are multiples
// of 4 handed out from the lowest free one, so the search may stop well past the last.
std::size_t probedHandles() {
  constexpr ULONG_PTR kStep = 4, kBeyondLast = 4096 * kStep;
  std::size_t count = 0;
  ULONG_PTR last = 0;
  for (ULONG_PTR value = kStep; value <= last + kBeyondLast; value += kStep) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++count;
      last = value;
    }
  }
  return count;
}

std::size_t systemHandles() {
  DWORD count = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &count) ? count : 0;
}

// Windows of this process: top-level ones with their descendants, and message-only ones.
std::size_t processWindows() {
  struct Counter {
    std::size_t windows = 0;
    static BOOL CALLBACK child(HWND, LPARAM self) {
      ++reinterpret_cast<Counter *>(self)->windows;
      return TRUE;
    }
    static BOOL CALLBACK topLevel(HWND window, LPARAM self) {
      DWORD process = 0;
      GetWindowThreadProcessId(window, &process);
      if (process == GetCurrentProcessId()) {
        ++reinterpret_cast<Counter *>(self)->windows;
        EnumChildWindows(window, child, self);
      }
      return TRUE;
    }
  } counter;
  EnumWindows(Counter::topLevel, reinterpret_cast<LPARAM>(&counter));
  for (HWND window = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); window;
       window = FindWindowExW(HWND_MESSAGE, window, nullptr, nullptr))
    Counter::topLevel(window, reinterpret_cast<LPARAM>(&counter));
  return counter.windows;
}

bool isIconOrCursor(HANDLE handle) {
  ICONINFO info{};
  if (!GetIconInfo(static_cast<HICON>(handle), &info))
    return false;
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  return true;
}

// Wine keeps the menus, icons and cursors of a process in its table of USER handles: even
// values from 0x20 on, and a handle without its high word matches whatever generation the
// entry is in. Asking another process's entry is answered without a trip to the server.
std::size_t probedMenusAndIcons() {
  std::size_t count = 0;
  for (ULONG_PTR value = 0x20; value < 0xFFF0; value += 2) {
    const auto handle = reinterpret_cast<HANDLE>(value);
    if (IsMenu(static_cast<HMENU>(handle)) || isIconOrCursor(handle))
      ++count;
  }
  return count;
}

std::size_t systemUserObjects() { return GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS); }

// Wine keeps GDI objects in a table of this process, indexed by the handle's low word; a
// handle without its high word matches whatever generation the entry is in.
// The window DCs that GetDC and BeginPaint hand out are among them: Wine keeps them (up to
// 64) for reuse, each with a region of its own, and makes another whenever none it keeps is
// free for the window at hand, so their number creeps up over many showings without anything
// leaking. They are left out, with one region each (memory DCs, which the component makes
// itself, are of another type and do count).
std::size_t probedGdiObjects() {
  std::size_t objects = 0, windowDcs = 0;
  for (ULONG_PTR index = 1; index <= 0xFFFF; ++index) {
    const DWORD type = GetObjectType(reinterpret_cast<HGDIOBJ>(index));
    if (type == OBJ_DC)
      ++windowDcs;
    else if (type != 0)
      ++objects;
  }
  return objects > windowDcs ? objects - windowDcs : 0;
}

std::size_t systemGdiObjects() { return GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS); }

} // namespace

ProcessResources processResources() {
  ProcessResources figures;
  figures.privateBytes = systemPrivateBytes();
  if (figures.privateBytes == 0)
    figures.privateBytes = committedPrivateBytes();
  figures.handles = systemHandles();
  if (figures.handles == 0)
    figures.handles = probedHandles();
  figures.userObjects = systemUserObjects();
  if (figures.userObjects == 0)
    figures.userObjects = processWindows() + probedMenusAndIcons();
  figures.gdiObjects = systemGdiObjects();
  if (figures.gdiObjects == 0)
    figures.gdiObjects = probedGdiObjects();
  return figures;
}

std::string resourceSources() {
  const auto from = [](bool system, const char *counter, const char *fallback) {
    return std::string(system ? counter : fallback);
  };
  return from(systemPrivateBytes() > 0, "PrivateUsage", "committed private regions") + ", " +
         from(systemHandles() > 0, "GetProcessHandleCount", "open handle values") + ", " +
         from(systemUserObjects() > 0, "GR_USEROBJECTS",
              "windows, menus, icons and cursors of the process") +
         ", " +
         from(systemGdiObjects() > 0, "GR_GDIOBJECTS",
              "GDI table entries but window DCs and their regions");
}

std::string describe(const ProcessResources &resources) {
  return "private bytes " + std::to_string(resources.privateBytes) + ", handles " +
         std::to_string(resources.handles) + ", USER objects " +
         std::to_string(resources.userObjects) + ", GDI objects " +
         std::to_string(resources.gdiObjects);
}

void expectFlat(const ProcessResources &before, const ProcessResources &after, std::size_t rounds) {
  constexpr std::size_t kMemorySlack = 128 * 1024;
  constexpr std::size_t kObjectSlack = 2;
  EXPECT_LE(after.privateBytes, before.privateBytes + kMemorySlack)
      << "private bytes grew by " << (after.privateBytes - before.privateBytes) << " over "
      << rounds << " rounds";
  EXPECT_LE(after.handles, before.handles + kObjectSlack);
  EXPECT_LE(after.userObjects, before.userObjects + kObjectSlack);
  EXPECT_LE(after.gdiObjects, before.gdiObjects + kObjectSlack);
  std::printf("  measured by: %s\n  after warm-up: %s\n  at the end:    %s\n",
              resourceSources().c_str(), describe(before).c_str(), describe(after).c_str());
}

} // namespace wintest
