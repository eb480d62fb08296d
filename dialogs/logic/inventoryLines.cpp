#include "dialogs/logic/inventoryLines.h"

#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include "vmserver/vsphere/Errors.h"

namespace brennow::dialogs {
namespace {

using namespace vmserver::vsphere;

// The name as the checks compare it: unescaped, the reference where the server sent none.
std::wstring nameOf(const ObjectContent &object) {
  const Value *name = object.property(path::Name);
  return name ? unescapedName(name->text) : object.object.value;
}

std::wstring trimmedOf(const Value *value) {
  return value ? std::wstring(trimmedText(value->text)) : std::wstring();
}

std::wstring freeSpaceOf(const ObjectContent &datastore) {
  if (!booleanOf(datastore.property(path::Accessible)).value_or(false))
    return L"not accessible";
  const auto capacity = longOf(datastore.property(path::Capacity)).value_or(0);
  const auto free = longOf(datastore.property(path::FreeSpace)).value_or(0);
  const long double percent =
      capacity > 0 ? static_cast<long double>(free) * 100 / static_cast<long double>(capacity) : 0;
  return std::to_wstring(static_cast<long long>(std::floor(percent))) + L" % free";
}

std::wstring connectionOf(const std::wstring &state) {
  if (state == L"notResponding")
    return L"not responding";
  return state.empty() ? L"connection state not reported" : state;
}

std::wstring hostStateOf(const ObjectContent &host) {
  std::wstring state = connectionOf(trimmedOf(host.property(path::ConnectionState)));
  if (booleanOf(host.property(path::InMaintenanceMode)).value_or(false))
    state += L", in maintenance mode";
  if (const std::wstring status = trimmedOf(host.property(path::OverallStatus)); !status.empty())
    state += L", status " + status;
  return state;
}

std::vector<PickerLine> linesOf(Session &session, const PropertySet &properties,
                                std::wstring (*stateOf)(const ObjectContent &)) {
  std::vector<PickerLine> lines;
  session.retrieveAll(properties, [&](ObjectContent &object) {
    std::wstring name = nameOf(object);
    lines.push_back({name + L" (" + stateOf(object) + L")", std::move(name)});
  });
  return lines;
}

class LinesRead final : public PickerLines {
public:
  explicit LinesRead(std::vector<PickerLine> lines) : lines_(std::move(lines)) {}
  std::int32_t count() override { return static_cast<std::int32_t>(lines_.size()); }
  PickerLine item(std::int32_t index) override {
    return lines_.at(static_cast<std::size_t>(index) - 1);
  }

private:
  std::vector<PickerLine> lines_;
};

} // namespace

std::vector<PickerLine> datastoreLines(Session &session) {
  return linesOf(session,
                 {type::Datastore, {path::Name, path::Accessible, path::Capacity, path::FreeSpace}},
                 freeSpaceOf);
}

std::vector<PickerLine> hostLines(Session &session) {
  return linesOf(
      session,
      {type::HostSystem,
       {path::Name, path::ConnectionState, path::InMaintenanceMode, path::OverallStatus}},
      hostStateOf);
}

ListingAdapter vsphereObjectListing(ListedObjects listed, const vmserver::ServerChoice &choice,
                                    const Platform &platform) {
  auto automation = std::make_unique<VSphereAutomation>(choice, platform);
  const VSphereAutomation &adapter = *automation;
  return {std::move(automation), [&adapter, listed](vmserver::Server &) {
            const auto connection = adapter.currentConnection();
            if (!connection)
              throw adapterError(L"Not connected to the server");
            Session &session = *connection->session;
            return std::make_unique<LinesRead>(
                listed == ListedObjects::Hosts ? hostLines(session) : datastoreLines(session));
          }};
}

} // namespace brennow::dialogs
