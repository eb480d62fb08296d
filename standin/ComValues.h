#pragma once
// Small owners for BSTR and VARIANT, and the text conversions the stand-in needs.
#include <windows.h>

#include <oleauto.h>

#include <optional>
#include <string>
#include <string_view>

namespace standin {

// Owns one BSTR.
class Bstr {
public:
  Bstr() noexcept = default;
  explicit Bstr(std::wstring_view text)
      : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  Bstr(const Bstr &) = delete;
  Bstr &operator=(const Bstr &) = delete;
  Bstr(Bstr &&other) noexcept : value_(other.release()) {}
  Bstr &operator=(Bstr &&other) noexcept {
    if (this != &other) {
      SysFreeString(value_);
      value_ = other.release();
    }
    return *this;
  }
  ~Bstr() { SysFreeString(value_); }

  BSTR get() const noexcept { return value_; }
  BSTR release() noexcept {
    BSTR value = value_;
    value_ = nullptr;
    return value;
  }
  BSTR *out() noexcept {
    SysFreeString(release());
    return &value_;
  }
  std::wstring text() const { return std::wstring(value_, SysStringLen(value_)); }

private:
  BSTR value_ = nullptr;
};

// Owns one VARIANT.
class Variant {
public:
  Variant() noexcept { VariantInit(&value_); }
  Variant(const Variant &) = delete;
  Variant &operator=(const Variant &) = delete;
  Variant(Variant &&other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
  Variant &operator=(Variant &&other) noexcept {
    if (this != &other) {
      VariantClear(&value_);
      value_ = other.value_;
      VariantInit(&other.value_);
    }
    return *this;
  }
  ~Variant() { VariantClear(&value_); }

  static Variant fromText(std::wstring_view text);
  static Variant fromInt32(LONG value);
  static Variant fromDispatch(IDispatch *object); // takes a reference of its own

  VARIANT *get() noexcept { return &value_; }
  const VARIANT *get() const noexcept { return &value_; }
  // Hands the value to a caller-owned VARIANT, leaving this one empty.
  void moveTo(VARIANT *destination) noexcept;

private:
  VARIANT value_;
};

// `value` converted the automation way (by-reference values resolved). Returns the
// conversion's failure code, or S_OK with `converted` set.
HRESULT changeType(const VARIANT &value, VARTYPE type, Variant &converted);

std::optional<std::wstring> environmentValue(const wchar_t *name);
std::string utf8FromWide(std::wstring_view text);
// Throws std::range_error when `bytes` are not valid UTF-8.
std::wstring wideFromUtf8(std::string_view bytes);

} // namespace standin
