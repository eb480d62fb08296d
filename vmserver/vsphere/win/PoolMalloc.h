#pragma once
// An IMalloc over a memory pool of its own, for one XmlLite reader. XmlLite allocates and frees
// for nearly every node it reads; through the process heap (a lock and a free-block search per
// call) that costs more than the reading itself under Wine, and so does a general pool that
// searches its chunks for the block freed. A reader is only ever used by one thread, so its
// blocks come from chunks of its own, sorted by size into classes: a freed block waits in its
// class's list for the next request of that class, and everything goes back at once with the
// pool.
#include <windows.h>
#include <objidl.h>

#include <array>
#include <cstddef>
#include <memory_resource>

namespace brennow::vmserver::vsphere {

// Lives as long as its owner, which must outlive every holder of a reference: the reader made
// with it. The reference count only tells whether any holder is left.
class PoolMalloc final : public IMalloc {
public:
  PoolMalloc() = default;
  PoolMalloc(const PoolMalloc &) = delete;
  PoolMalloc &operator=(const PoolMalloc &) = delete;
  ~PoolMalloc() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  void *STDMETHODCALLTYPE Alloc(SIZE_T size) override;
  void *STDMETHODCALLTYPE Realloc(void *block, SIZE_T size) override;
  void STDMETHODCALLTYPE Free(void *block) override;
  SIZE_T STDMETHODCALLTYPE GetSize(void *block) override;
  int STDMETHODCALLTYPE DidAlloc(void *block) override;
  void STDMETHODCALLTYPE HeapMinimize() override;

  // References taken and not yet given back.
  ULONG references() const { return references_; }

  // Size classes: steps of 16 bytes up to 1 KiB, then powers of two up to 64 KiB; a larger
  // block comes from the process heap and goes back to it when freed.
  static constexpr std::size_t kClasses = 64 + 6;

private:
  struct FreeBlock {
    FreeBlock *next;
  };

  std::array<FreeBlock *, kClasses> free_{};
  // The first blocks of a small answer come from here, without a call to the process heap.
  alignas(std::max_align_t) std::array<std::byte, 4096> initial_;
  std::pmr::monotonic_buffer_resource chunks_{initial_.data(), initial_.size()};
  ULONG references_ = 0;
};

} // namespace brennow::vmserver::vsphere
