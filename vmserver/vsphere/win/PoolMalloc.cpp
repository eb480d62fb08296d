#include "vmserver/vsphere/win/PoolMalloc.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

namespace brennow::vmserver::vsphere {
namespace {

// Every block starts with its size, so that Free and Realloc, which are not told it, know its
// class.
constexpr std::size_t kAlignment = alignof(std::max_align_t);
constexpr std::size_t kHeader = kAlignment;
static_assert(kHeader >= sizeof(std::size_t));

constexpr std::size_t kStep = 16;
constexpr std::size_t kStepped = 1024; // the largest block of the 16-byte steps
constexpr std::size_t kLargest = 64 * 1024;

// The class of a block of `total` bytes (header included); none above the largest class.
std::optional<std::size_t> classOf(std::size_t total) {
  if (total <= kStepped)
    return (total - 1) / kStep;
  if (total > kLargest)
    return std::nullopt;
  // 1025..2048 -> 64, ..., 32769..65536 -> 69
  return kStepped / kStep + std::bit_width(total - 1) - std::bit_width(kStepped);
}

// What a block of that class holds, header included.
constexpr std::size_t bytesOfClass(std::size_t sizeClass) {
  return sizeClass < kStepped / kStep ? (sizeClass + 1) * kStep
                                      : std::size_t{2048} << (sizeClass - kStepped / kStep);
}
static_assert(bytesOfClass(PoolMalloc::kClasses - 1) == kLargest);

std::byte *startOf(void *block) { return static_cast<std::byte *>(block) - kHeader; }

std::size_t sizeOf(void *block) {
  std::size_t size = 0;
  std::memcpy(&size, startOf(block), sizeof size);
  return size;
}

} // namespace

HRESULT STDMETHODCALLTYPE PoolMalloc::QueryInterface(REFIID iid, void **object) {
  if (!object)
    return E_POINTER;
  if (iid == __uuidof(IUnknown) || iid == __uuidof(IMalloc)) {
    *object = static_cast<IMalloc *>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE PoolMalloc::AddRef() { return ++references_; }

ULONG STDMETHODCALLTYPE PoolMalloc::Release() { return references_ > 0 ? --references_ : 0; }

void *STDMETHODCALLTYPE PoolMalloc::Alloc(SIZE_T size) {
  if (size > std::numeric_limits<std::size_t>::max() - kHeader)
    return nullptr;
  const std::size_t total = size + kHeader;
  std::byte *start = nullptr;
  try {
    if (const auto sizeClass = classOf(total)) {
      if (FreeBlock *reused = free_[*sizeClass]) {
        free_[*sizeClass] = reused->next;
        start = reinterpret_cast<std::byte *>(reused);
      } else {
        start = static_cast<std::byte *>(chunks_.allocate(bytesOfClass(*sizeClass), kAlignment));
      }
    } else {
      start =
          static_cast<std::byte *>(std::pmr::new_delete_resource()->allocate(total, kAlignment));
    }
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  const std::size_t stored = size;
  std::memcpy(start, &stored, sizeof stored);
  return start + kHeader;
}

void *STDMETHODCALLTYPE PoolMalloc::Realloc(void *block, SIZE_T size) {
  if (!block)
    return Alloc(size);
  if (size == 0) {
    Free(block);
    return nullptr;
  }
  void *moved = Alloc(size);
  if (!moved)
    return nullptr; // the old block stays as it was
  std::memcpy(moved, block, std::min<std::size_t>(sizeOf(block), size));
  Free(block);
  return moved;
}

void STDMETHODCALLTYPE PoolMalloc::Free(void *block) {
  if (!block)
    return;
  std::byte *start = startOf(block);
  const std::size_t total = sizeOf(block) + kHeader;
  if (const auto sizeClass = classOf(total)) {
    free_[*sizeClass] = ::new (start) FreeBlock{free_[*sizeClass]};
    return;
  }
  std::pmr::new_delete_resource()->deallocate(start, total, kAlignment);
}

SIZE_T STDMETHODCALLTYPE PoolMalloc::GetSize(void *block) {
  return block ? sizeOf(block) : static_cast<SIZE_T>(-1);
}

int STDMETHODCALLTYPE PoolMalloc::DidAlloc(void *) { return -1; }

void STDMETHODCALLTYPE PoolMalloc::HeapMinimize() {}

} // namespace brennow::vmserver::vsphere
