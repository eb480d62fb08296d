#include "vmserver/vsphere/win/PoolMalloc.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>

namespace brennow::vmserver::vsphere {
namespace {

// Every block starts with its size, so that Free and Realloc, which are not told it, can give
// the pool back what it handed out.
constexpr std::size_t kAlignment = alignof(std::max_align_t);
constexpr std::size_t kHeader = kAlignment;
static_assert(kHeader >= sizeof(std::size_t));

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
  try {
    auto *start = static_cast<std::byte *>(pool_.allocate(size + kHeader, kAlignment));
    const std::size_t stored = size;
    std::memcpy(start, &stored, sizeof stored);
    return start + kHeader;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
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
  if (block)
    pool_.deallocate(startOf(block), sizeOf(block) + kHeader, kAlignment);
}

SIZE_T STDMETHODCALLTYPE PoolMalloc::GetSize(void *block) {
  return block ? sizeOf(block) : static_cast<SIZE_T>(-1);
}

int STDMETHODCALLTYPE PoolMalloc::DidAlloc(void *) { return -1; }

void STDMETHODCALLTYPE PoolMalloc::HeapMinimize() {}

} // namespace brennow::vmserver::vsphere
