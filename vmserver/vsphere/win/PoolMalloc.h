#pragma once
// An IMalloc over an unsynchronized memory pool, for one XmlLite reader. XmlLite allocates and
// frees for nearly every node it reads; through the process heap (a lock and a free-block search
// per call) that costs more than the reading itself under Wine. A reader is only ever used by
// one thread, so its blocks come from a pool of its own, given back all at once with the pool.
#include <windows.h>
#include <objidl.h>

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

private:
  std::pmr::unsynchronized_pool_resource pool_;
  ULONG references_ = 0;
};

} // namespace brennow::vmserver::vsphere
