#pragma once
// What the list button shows of a vSphere server besides its machines: its datastores with
// their free space and its hosts with their state, one line each, read through the session
// the listing logged in with, in the server's order.
#include <vector>

#include "dialogs/logic/listing.h"
#include "vmserver/ServerChoice.h"
#include "vmserver/vsphere/Session.h"
#include "vmserver/vsphere/VSphereAutomation.h"

namespace brennow::dialogs {

// "ds1 (42 % free)", "ds2 (not accessible)": the percentage rounded down, as the check has it.
std::vector<PickerLine> datastoreLines(vmserver::vsphere::Session &session);

// "esx01 (connected, status green)", "esx02 (connected, in maintenance mode, status yellow)",
// "esx03 (not responding)".
std::vector<PickerLine> hostLines(vmserver::vsphere::Session &session);

// The adapter of a listing of `listed` (datastores or hosts): the vSphere adapter of `choice`
// over `platform`, and at step 140 the lines read through the session its server logged in.
ListingAdapter vsphereObjectListing(ListedObjects listed, const vmserver::ServerChoice &choice,
                                    const vmserver::vsphere::Platform &platform);

} // namespace brennow::dialogs
