#include "standin/ComValues.h"

namespace standin {

HRESULT changeType(const VARIANT &value, VARTYPE type, Variant &converted) {
  Variant direct;
  HRESULT hr = VariantCopyInd(direct.get(), brennow::win::source(value));
  if (FAILED(hr))
    return hr;
  return VariantChangeType(converted.get(), direct.get(), 0, type);
}

std::optional<std::wstring> environmentValue(const wchar_t *name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size <= 1)
    return std::nullopt;
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
  if (length == 0 || length >= size)
    return std::nullopt;
  value.resize(length);
  return value;
}

} // namespace standin
