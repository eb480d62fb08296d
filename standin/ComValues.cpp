#include "standin/ComValues.h"

#include <stdexcept>

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

std::string utf8FromWide(std::wstring_view text) {
  if (text.empty())
    return {};
  const int length = static_cast<int>(text.size());
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), size, nullptr, nullptr);
  return bytes;
}

std::wstring wideFromUtf8(std::string_view bytes) {
  if (bytes.empty())
    return {};
  const int length = static_cast<int>(bytes.size());
  const int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
  if (size == 0)
    throw std::range_error("not UTF-8");
  std::wstring text(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, text.data(), size);
  return text;
}

} // namespace standin
