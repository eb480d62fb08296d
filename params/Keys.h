#pragma once
// The keys of the parameter string, each written once: the check, the dialog, the runner
// and the choice of the server adapter read and write fields by these.
#include <string_view>

namespace brennow::keys {

inline constexpr std::wstring_view ServerType = L"VSTP";
inline constexpr std::wstring_view User = L"USR";
inline constexpr std::wstring_view Password = L"PWD";
inline constexpr std::wstring_view Machine = L"VMN";
inline constexpr std::wstring_view State = L"VMS";
// vSphere only.
inline constexpr std::wstring_view Thumbprint = L"THUMB";
inline constexpr std::wstring_view Check = L"CHK";
inline constexpr std::wstring_view Datastore = L"DSN";
inline constexpr std::wstring_view MinFree = L"MINFREE";
inline constexpr std::wstring_view MaxAge = L"MAXAGE";
inline constexpr std::wstring_view HostSystem = L"HSN";
inline constexpr std::wstring_view AlarmStatus = L"ALS";

// The values of VSTP the dialog and the runner write.
inline constexpr std::wstring_view AutomationServer = L"VMWARE";
inline constexpr std::wstring_view VSphereServer = L"VSPHERE";

} // namespace brennow::keys
