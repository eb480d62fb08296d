#include "component/vsphere/Judging.h"

#include "vmserver/vsphere/Answers.h"

namespace brennow::vspherecheck {

std::wstring counted(std::size_t count, std::wstring_view singular, std::wstring_view plural) {
  return std::to_wstring(count) + L" " + std::wstring(count == 1 ? singular : plural);
}

std::wstring textOf(const vmserver::vsphere::Value *value) {
  return value ? std::wstring(vmserver::vsphere::trimmedText(value->text)) : std::wstring();
}

bool isWanted(const std::wstring &name, const std::wstring &wanted) {
  return wanted.empty() || name == wanted;
}

} // namespace brennow::vspherecheck
