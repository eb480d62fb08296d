#pragma once
// The checks a vSphere server answers beyond the machine state (CHK): the guest alive,
// datastore space, snapshot age, host state, triggered alarms. The same host contract as
// the machine-state check: True or False and one line in qm_result, every failure an
// "ERR: " report quoting its statement, nothing thrown.
#include "component/check.h"
#include "params/AnsiCodePage.h"
#include "vmserver/ServerChoice.h"
#include "vmserver/vsphere/VSphereAutomation.h"

namespace brennow {

// Statement numbers of a vSphere check; the login keeps the machine-state check's 130.
namespace vsphereStatement {
inline constexpr int ReadKeys = 700;       // CHK and its keys read and judged
inline constexpr int ListMachines = 710;   // the machines' names (GUEST)
inline constexpr int ReadGuest = 720;      // the machine's power, tools and heartbeat (GUEST)
inline constexpr int ReadDatastores = 730; // DATASTORE
inline constexpr int ReadTime = 740;       // the server's current time (SNAPSHOT)
inline constexpr int ReadSnapshots = 750;  // SNAPSHOT
inline constexpr int ReadHosts = 760;      // HOST
inline constexpr int ReadAlarms = 770;     // the root folder's triggered alarms (ALARM)
inline constexpr int ReadAlarmNames = 780; // the worst alarm's name and its object's (ALARM)
inline constexpr int WriteResult = 790;
} // namespace vsphereStatement

// Runs the check the parameter string's CHK names, through `platform`, as `choice` says.
bool runVSphereCheck(CheckHost &host, const vmserver::ServerChoice &choice,
                     const vmserver::vsphere::Platform &platform, const AnsiCodePage &codePage);

} // namespace brennow
