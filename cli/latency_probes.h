// The probes of the loaded latency, on connections of the program's own
// beside the library's: the LAN protocol's ping command, and the internet
// server's latency request.
#pragma once

#include <string>

#include "loaded_latency.h"

namespace linkrate_cli {

// A new TCP connection to HOST:PORT per probe (the name looked up once, at
// the first probe), then the ping command "P" and its one-byte answer; the
// round trip runs from the send to the answer, without the connection's
// set-up, as the library's own ping.
Probe lan_ping_probe(const std::string& host, int port);

// "GET <base>/empty?t=p<n>_<clock ms>" on one kept connection; the round trip
// runs from the request's send to the first byte of its reply, without the
// connection's set-up (TCP, TLS), which a lost probe makes again.
Probe internet_empty_probe(const std::string& base_url);

}  // namespace linkrate_cli
