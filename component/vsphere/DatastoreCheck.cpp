// DATASTORE: each datastore asked for is accessible and has at least MINFREE % free.
#include <cmath>
#include <vector>

#include "component/vsphere/Judging.h"
#include "component/vsphereCheck.h"

namespace brennow::vspherecheck {

using namespace vmserver::vsphere;

namespace {

struct Measured {
  std::wstring name;
  bool accessible = false;
  long double percentFree = 0; // exact
};

std::wstring percentText(long double percent) {
  return std::to_wstring(static_cast<long long>(std::floor(percent))) + L" %";
}

} // namespace

Outcome checkDatastores(Reading &reading, const CheckSettings &settings) {
  reading.at(vsphereStatement::ReadDatastores);
  std::vector<Measured> wanted;
  reading.session.retrieveAll(
      {type::Datastore, {path::Name, path::Accessible, path::Capacity, path::FreeSpace}},
      [&](ObjectContent &datastore) {
        const Value *nameValue = datastore.property(path::Name);
        std::wstring name = nameValue ? unescapedName(nameValue->text) : datastore.object.value;
        if (!isWanted(name, settings.object))
          return;
        const auto capacity = longOf(datastore.property(path::Capacity)).value_or(0);
        const auto free = longOf(datastore.property(path::FreeSpace)).value_or(0);
        wanted.push_back({std::move(name),
                          booleanOf(datastore.property(path::Accessible)).value_or(false),
                          capacity > 0 ? static_cast<long double>(free) * 100 / capacity : 0});
      });
  if (wanted.empty())
    return {false, settings.object.empty()
                       ? L"No datastores on this server"
                       : L"Can't get the free space of this (" + settings.object +
                             L") datastore, it's not listed as a known one"};
  const int minFree = settings.threshold;
  const std::wstring threshold = std::to_wstring(minFree) + L" %";
  const Measured *worst = nullptr;
  const Measured *leastFree = nullptr;
  std::size_t failing = 0;
  const auto rank = [](const Measured &m) { return m.accessible ? m.percentFree : -1.0L; };
  for (const Measured &datastore : wanted) {
    if (!datastore.accessible || datastore.percentFree < minFree) {
      ++failing;
      if (!worst || rank(datastore) < rank(*worst))
        worst = &datastore;
    }
    if (!leastFree || rank(datastore) < rank(*leastFree))
      leastFree = &datastore;
  }
  if (!worst) {
    if (wanted.size() == 1)
      return {true, L"Datastore (" + leastFree->name + L") has " +
                        percentText(leastFree->percentFree) + L" free, at least " + threshold};
    return {true, L"All " + std::to_wstring(wanted.size()) + L" datastore(s) have at least " +
                      threshold + L" free; the least free (" + leastFree->name + L") has " +
                      percentText(leastFree->percentFree)};
  }
  const std::size_t others = failing - 1;
  if (!worst->accessible)
    return {false, L"Datastore (" + worst->name + L") is not accessible" +
                       (others ? L"; " + counted(others, L"other datastore fails too",
                                                 L"other datastores fail too")
                               : L"")};
  return {false, L"Datastore (" + worst->name + L") has " + percentText(worst->percentFree) +
                     L" free, less than " + threshold +
                     (others ? L"; " + counted(others, L"other datastore below it",
                                               L"other datastores below it")
                             : L"")};
}

} // namespace brennow::vspherecheck
