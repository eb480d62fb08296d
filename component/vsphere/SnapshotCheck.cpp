// SNAPSHOT: no snapshot of the machines asked for is older than MAXAGE days, by the server's
// clock.
#include <optional>

#include "component/vsphere/Judging.h"
#include "component/vsphereCheck.h"
#include "vmserver/vsphere/Errors.h"

namespace brennow::vspherecheck {

using namespace vmserver::vsphere;

namespace {

constexpr std::int64_t kSecondsPerDay = 86'400;

// What a snapshot tree holds beside the name, creation time and children this check reads:
// read past, never kept, so that a machine's trees cost a few strings each.
constexpr std::wstring_view kUnreadTreeFields[] = {
    L"snapshot", L"vm",       L"description",    L"id",
    L"state",    L"quiesced", L"backupManifest", L"replaySupported"};

struct Oldest {
  std::wstring machine;
  std::wstring snapshot;
  std::int64_t ageSeconds = 0;
};

// Walks one machine's snapshot trees (the roots, and each snapshot's childSnapshotList).
class SnapshotAges {
public:
  SnapshotAges(std::int64_t now, int maxAgeDays) : now_(now), maxAgeDays_(maxAgeDays) {}

  void machine(const std::wstring &name, const Value &trees) {
    for (const Field &tree : trees.fields)
      snapshot(name, tree.value);
  }

  std::size_t tooOld() const { return tooOld_; }
  const std::optional<Oldest> &oldest() const { return oldest_; }

private:
  void snapshot(const std::wstring &machine, const Value &tree) {
    const std::wstring created = textOf(tree.field(L"createTime"));
    const auto createdAt = dateTimeOf(created);
    if (!createdAt)
      throw adapterError(L"The server reported a snapshot's creation time in a form that is not "
                         L"a date and time (" +
                         created + L")");
    const std::int64_t age = now_ - *createdAt;
    if (age / kSecondsPerDay > maxAgeDays_) {
      ++tooOld_;
      if (!oldest_ || age > oldest_->ageSeconds)
        oldest_ = Oldest{machine, textOf(tree.field(L"name")), age};
    }
    for (const Field &child : tree.fields)
      if (child.name == L"childSnapshotList")
        snapshot(machine, child.value);
  }

  std::int64_t now_;
  int maxAgeDays_;
  std::size_t tooOld_ = 0;
  std::optional<Oldest> oldest_;
};

} // namespace

Outcome checkSnapshots(Reading &reading, const CheckSettings &settings) {
  const std::wstring &vm = settings.object;
  const int maxAge = settings.threshold;
  reading.at(vsphereStatement::ReadTime);
  SnapshotAges ages(reading.session.currentTime(), maxAge);
  reading.at(vsphereStatement::ReadSnapshots);
  std::size_t machines = 0;
  const PropertySet trees{type::VirtualMachine,
                          {path::Name, path::Snapshots},
                          false,
                          {std::begin(kUnreadTreeFields), std::end(kUnreadTreeFields)}};
  reading.session.retrieveAll(trees, [&](ObjectContent &machine) {
    const Value *nameValue = machine.property(path::Name);
    const std::wstring name = nameValue ? unescapedName(nameValue->text) : L"";
    if (!nameValue || !isWanted(name, vm))
      return;
    ++machines;
    if (const Value *machineTrees = machine.property(path::Snapshots))
      ages.machine(name, *machineTrees);
  });
  const std::wstring limit = std::to_wstring(maxAge);
  if (!vm.empty() && machines == 0)
    return {false, L"Can't get the snapshots of this (" + vm +
                       L") virtual machine, it's not listed as a known one"};
  if (!ages.oldest()) {
    if (!vm.empty())
      return {true,
              L"Virtual machine (" + vm + L") has no snapshot older than " + limit + L" day(s)"};
    return {true, L"No snapshot older than " + limit + L" day(s) on " + std::to_wstring(machines) +
                      L" virtual machine(s)"};
  }
  const Oldest &oldest = *ages.oldest();
  const std::size_t others = ages.tooOld() - 1;
  return {false, L"Virtual machine (" + oldest.machine + L") has a snapshot (" + oldest.snapshot +
                     L") " + std::to_wstring(oldest.ageSeconds / kSecondsPerDay) +
                     L" day(s) old, older than " + limit +
                     (others ? L"; " + counted(others, L"other snapshot older too",
                                               L"other snapshots older too")
                             : L"")};
}

} // namespace brennow::vspherecheck
