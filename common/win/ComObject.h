#pragma once
// IUnknown for the COM objects this code makes itself: one reference count, one
// QueryInterface over the interfaces the class lists, and the only place that creates
// and deletes such objects.
#include <windows.h>
#include <unknwn.h>
#include <wrl/client.h>

#include <atomic>
#include <type_traits>
#include <utility>

namespace brennow::win {

// An entry of ComObject's interface list: `Interface`, answered for its own IID and for
// `alsoFor` as well: the interfaces it derives from (a dual interface answers
// IID_IDispatch) or other identifiers the object goes by.
template <typename Interface, const IID &...alsoFor> struct Answers {};

namespace detail {

// A plain entry answers for its own IID only.
template <typename Entry> struct EntryOf {
  using Interface = Entry;
  static bool answers(REFIID iid) noexcept { return iid == __uuidof(Entry); }
};

template <typename Entry, const IID &...alsoFor> struct EntryOf<Answers<Entry, alsoFor...>> {
  using Interface = Entry;
  static bool answers(REFIID iid) noexcept {
    return iid == __uuidof(Entry) || ((iid == alsoFor) || ...);
  }
};

} // namespace detail

// The base of a COM object of the final class `Object`, which derives from it and
// implements the listed interfaces' own methods:
//   class Plugin final
//       : public ComObject<Plugin, Answers<_plugin, IID_IDispatch>, ISupportErrorInfo> {...};
//   ComPtr<Plugin> plugin = Plugin::make(arguments...);
// QueryInterface answers IUnknown (with the first entry) and every entry's IIDs, first
// entry first; the last Release deletes the object. Whatever the class must do while an
// object lives (module or object counts) belongs in its own constructor and destructor.
template <typename Object, typename First, typename... Others>
class ComObject : public detail::EntryOf<First>::Interface,
                  public detail::EntryOf<Others>::Interface... {
public:
  // The new object starts with one reference: the one the returned ComPtr holds. Throws
  // std::bad_alloc, or whatever the constructor throws.
  template <typename... Arguments>
  static Microsoft::WRL::ComPtr<Object> make(Arguments &&...arguments) {
    Microsoft::WRL::ComPtr<Object> made;
    // Not Attach: MinGW's ComPtr::Attach adds a reference of its own.
    *made.GetAddressOf() = new Object(std::forward<Arguments>(arguments)...);
    return made;
  }

  ComObject(const ComObject &) = delete;
  ComObject &operator=(const ComObject &) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void **object) final {
    if (!object)
      return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown)
      *object = static_cast<IUnknown *>(static_cast<Interface<First> *>(this));
    else
      static_cast<void>(offer<First>(iid, object) || (offer<Others>(iid, object) || ...));
    if (!*object)
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() final { return ++references_; }
  STDMETHODIMP_(ULONG) Release() final {
    static_assert(std::is_final_v<Object>, "deleted as Object, so nothing may derive from it");
    const ULONG remaining = --references_;
    if (remaining == 0)
      delete static_cast<Object *>(this);
    return remaining;
  }

protected:
  ComObject() noexcept = default;
  ~ComObject() = default;

private:
  template <typename Entry> using Interface = typename detail::EntryOf<Entry>::Interface;

  template <typename Entry> bool offer(REFIID iid, void **object) noexcept {
    if (!detail::EntryOf<Entry>::answers(iid))
      return false;
    *object = static_cast<Interface<Entry> *>(this);
    return true;
  }

  std::atomic<ULONG> references_{1};
};

} // namespace brennow::win
