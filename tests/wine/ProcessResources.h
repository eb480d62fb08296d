#pragma once
// What the test process holds, for long runs that must leave nothing behind: committed
// private memory, open handles, USER and GDI objects. Each figure comes from the system's
// own counter; where the platform leaves that counter at zero (Wine 8 implements none of
// the four), from a count of the same objects made here (GDI objects without the window DCs
// that Wine keeps for reuse: a cache of its own, not objects the component holds).
#include <cstddef>
#include <string>

namespace wintest {

struct ProcessResources {
  std::size_t privateBytes = 0;
  std::size_t handles = 0;
  std::size_t userObjects = 0;
  std::size_t gdiObjects = 0;
};

ProcessResources processResources();

// Which figures come from the system's counters and which were counted here.
std::string resourceSources();
std::string describe(const ProcessResources &resources);

// Checks the growth between the figures after a warm-up and those at the end, and prints
// both. The heap grows in blocks and keeps freed blocks for reuse, so up to 128 KiB may
// come and go without a leak; the component keeps no handle, USER or GDI object beyond
// what its first use opens, so 2 of each is slack for the system's own bookkeeping.
void expectFlat(const ProcessResources &before, const ProcessResources &after, std::size_t rounds);

} // namespace wintest
