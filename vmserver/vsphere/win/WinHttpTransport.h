#pragma once
// The adapter's HTTP exchanges over WinHTTP: TLS with the system's trust or a pinned
// thumbprint, the session cookie kept by hand, every wait bounded by the check's timeout.
#include "vmserver/vsphere/Transport.h"

namespace brennow::vmserver::vsphere {

std::unique_ptr<Transport> makeWinHttpTransport(const Endpoint &endpoint,
                                                const TransportOptions &options);

} // namespace brennow::vmserver::vsphere
