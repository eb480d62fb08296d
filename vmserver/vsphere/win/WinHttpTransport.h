#pragma once
// The adapter's HTTP exchanges over WinHTTP: TLS with the system's trust or a pinned
// thumbprint, checked before a request leaves; the session cookie kept by hand; every exchange
// ended by the deadline it is given, whatever the server's pace.
#include "vmserver/vsphere/Transport.h"

namespace brennow::vmserver::vsphere {

std::unique_ptr<Transport> makeWinHttpTransport(const Endpoint &endpoint,
                                                const TransportOptions &options);

} // namespace brennow::vmserver::vsphere
