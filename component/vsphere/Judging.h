#pragma once
// What every vSphere check's judging shares: the session it reads through, the statement its
// failures quote, and the wording of its messages.
#include <cstddef>
#include <string>
#include <string_view>

#include "params/VSphereChecks.h"
#include "vmserver/vsphere/Session.h"

namespace brennow::vspherecheck {

struct Outcome {
  bool answer = false;
  std::wstring message;
};

// The run as a check's judging sees it.
struct Reading {
  vmserver::vsphere::Session &session;
  int &statement;
  void at(int number) { statement = number; }
};

Outcome checkGuest(Reading &reading, const CheckSettings &settings);
Outcome checkDatastores(Reading &reading, const CheckSettings &settings);
Outcome checkSnapshots(Reading &reading, const CheckSettings &settings);
Outcome checkHosts(Reading &reading, const CheckSettings &settings);
Outcome checkAlarms(Reading &reading, const CheckSettings &settings);

// "1 datastore", "2 datastores".
std::wstring counted(std::size_t count, std::wstring_view singular, std::wstring_view plural);

// A value's text without the blanks around it; empty for a missing value.
std::wstring textOf(const vmserver::vsphere::Value *value);

// Whether an object named `name` is one the check asks for: every one when `wanted` is empty.
bool isWanted(const std::wstring &name, const std::wstring &wanted);

} // namespace brennow::vspherecheck
