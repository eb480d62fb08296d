// HOST: each host asked for is connected, not in maintenance mode, and not red.
#include <vector>

#include "component/vsphere/Judging.h"
#include "component/vsphereCheck.h"

namespace brennow::vspherecheck {

using namespace vmserver::vsphere;

namespace {

struct HostState {
  std::wstring name;
  std::wstring connection;
  bool maintenance = false;
  std::wstring status;

  // What is wrong, the worst first: not connected, in maintenance, red; empty when nothing.
  int severity() const {
    if (connection != L"connected")
      return 3;
    if (maintenance)
      return 2;
    return status == L"red" ? 1 : 0;
  }

  std::wstring failure() const {
    const std::wstring host = L"Host (" + name + L") ";
    if (connection == L"disconnected")
      return host + L"is disconnected";
    if (connection == L"notResponding")
      return host + L"is not responding";
    if (connection != L"connected")
      return host + L"is not connected (" +
             (connection.empty() ? L"no connection state reported" : connection) + L")";
    if (maintenance)
      return host + L"is in maintenance mode";
    return host + L"has the overall status red";
  }
};

} // namespace

Outcome checkHosts(Reading &reading, const CheckSettings &settings) {
  reading.at(vsphereStatement::ReadHosts);
  std::vector<HostState> wanted;
  reading.session.retrieveAll(
      {type::HostSystem,
       {path::Name, path::ConnectionState, path::InMaintenanceMode, path::OverallStatus}},
      [&](ObjectContent &host) {
        const Value *nameValue = host.property(path::Name);
        std::wstring name = nameValue ? unescapedName(nameValue->text) : host.object.value;
        if (!isWanted(name, settings.object))
          return;
        wanted.push_back({std::move(name), textOf(host.property(path::ConnectionState)),
                          booleanOf(host.property(path::InMaintenanceMode)).value_or(false),
                          textOf(host.property(path::OverallStatus))});
      });
  if (wanted.empty())
    return {false, settings.object.empty() ? L"No hosts on this server"
                                           : L"Can't get the state of this (" + settings.object +
                                                 L") host, it's not listed as a known one"};
  const HostState *worst = nullptr;
  std::size_t failing = 0;
  for (const HostState &host : wanted) {
    if (host.severity() == 0)
      continue;
    ++failing;
    if (!worst || host.severity() > worst->severity())
      worst = &host;
  }
  if (!worst) {
    if (wanted.size() == 1)
      return {true, L"Host (" + wanted[0].name +
                        L") is connected, not in maintenance mode, its status " +
                        (wanted[0].status.empty() ? L"not reported" : wanted[0].status)};
    return {true, L"All " + std::to_wstring(wanted.size()) +
                      L" host(s) connected, none in maintenance mode or red"};
  }
  const std::size_t others = failing - 1;
  return {false, worst->failure() + (others ? L"; " + counted(others, L"other host fails too",
                                                              L"other hosts fail too")
                                            : L"")};
}

} // namespace brennow::vspherecheck
