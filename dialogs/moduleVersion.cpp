#include "dialogs/moduleVersion.h"

#include <windows.h>

#include <vector>

#include "common/win/automation.h"

namespace brennow::dialogs {
namespace {

// VerQueryValue wants a writable copy of the resource, as GetFileVersionInfo gives.
std::vector<BYTE> versionResource() {
  const HMODULE module = win::thisModule();
  const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
  if (!found)
    return {};
  const HGLOBAL loaded = LoadResource(module, found);
  const auto *data = loaded ? static_cast<const BYTE *>(LockResource(loaded)) : nullptr;
  if (!data)
    return {};
  return std::vector<BYTE>(data, data + SizeofResource(module, found));
}

} // namespace

ModuleVersion moduleVersion() {
  std::vector<BYTE> resource = versionResource();
  void *value = nullptr;
  UINT length = 0;
  if (resource.empty() || !VerQueryValueW(resource.data(), L"\\", &value, &length) ||
      length < sizeof(VS_FIXEDFILEINFO))
    return {};
  const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(value);
  return {HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
          LOWORD(fixed->dwFileVersionLS)};
}

} // namespace brennow::dialogs
