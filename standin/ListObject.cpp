#include "standin/ListObject.h"

#include "standin/Environment.h"

#include <string>

namespace standin {

namespace {

enum : DISPID { itemId = DISPID_VALUE, countId = 1 };

constexpr Member members[] = {
    {L"Item", itemId, DISPATCH_PROPERTYGET, 1},
    {L"Count", countId, DISPATCH_PROPERTYGET, 0},
};

const ObjectKind kind{L"list", iidMachineList, members};

} // namespace

ListObject::ListObject(Session session) noexcept
    : DispatchObject(kind), session_(std::move(session)) {}

Variant ListObject::invoke(const Call &call) {
  if (call.member() == itemId)
    return item(call);
  return count();
}

Variant ListObject::item(const Call &call) {
  const LONG index = call.int32(0);
  log(L"list.Item(" + std::to_wstring(index) + L")");
  waitFor(*session_.inventory, session_.host, Operation::item);
  return Variant::fromText(take(itemAt(*session_.host, index)));
}

Variant ListObject::count() {
  log(L"list.Count");
  waitFor(*session_.inventory, session_.host, Operation::count);
  raise(session_.host->countFault);
  return Variant::fromInt32(static_cast<LONG>(session_.host->machines.size()));
}

} // namespace standin
