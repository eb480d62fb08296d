#pragma once
// The names of the web service's operations, managed object types and property paths the
// adapter uses, each written once: requests are built and answers read by these.
#include <string_view>

namespace brennow::vmserver::vsphere {

// An operation; its answer is the element named after it with "Response" appended.
struct Operation {
  std::string_view name;
};

namespace op {
inline constexpr Operation RetrieveServiceContent{"RetrieveServiceContent"};
inline constexpr Operation CurrentTime{"CurrentTime"};
inline constexpr Operation Login{"Login"};
inline constexpr Operation Logout{"Logout"};
inline constexpr Operation CreateContainerView{"CreateContainerView"};
inline constexpr Operation DestroyView{"DestroyView"};
inline constexpr Operation RetrievePropertiesEx{"RetrievePropertiesEx"};
inline constexpr Operation ContinueRetrievePropertiesEx{"ContinueRetrievePropertiesEx"};
} // namespace op

// Managed object types.
namespace type {
inline constexpr std::wstring_view ServiceInstance = L"ServiceInstance";
inline constexpr std::wstring_view VirtualMachine = L"VirtualMachine";
inline constexpr std::wstring_view Datastore = L"Datastore";
inline constexpr std::wstring_view HostSystem = L"HostSystem";
inline constexpr std::wstring_view Folder = L"Folder";
inline constexpr std::wstring_view Alarm = L"Alarm";
inline constexpr std::wstring_view ContainerView = L"ContainerView";
} // namespace type

// Property paths.
namespace path {
inline constexpr std::wstring_view Name = L"name";
inline constexpr std::wstring_view ConnectionState = L"runtime.connectionState";
inline constexpr std::wstring_view Question = L"runtime.question";
inline constexpr std::wstring_view PowerState = L"runtime.powerState";
inline constexpr std::wstring_view ToolsRunningStatus = L"guest.toolsRunningStatus";
inline constexpr std::wstring_view GuestHeartbeatStatus = L"guestHeartbeatStatus";
inline constexpr std::wstring_view Snapshots = L"snapshot.rootSnapshotList";
inline constexpr std::wstring_view Accessible = L"summary.accessible";
inline constexpr std::wstring_view Capacity = L"summary.capacity";
inline constexpr std::wstring_view FreeSpace = L"summary.freeSpace";
inline constexpr std::wstring_view InMaintenanceMode = L"runtime.inMaintenanceMode";
inline constexpr std::wstring_view OverallStatus = L"overallStatus";
inline constexpr std::wstring_view TriggeredAlarmState = L"triggeredAlarmState";
inline constexpr std::wstring_view AlarmName = L"info.name";
} // namespace path

} // namespace brennow::vmserver::vsphere
