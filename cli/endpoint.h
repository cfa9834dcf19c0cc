// Parsing of the command line's HOST[:PORT] and port arguments.
#pragma once

#include <optional>
#include <string>

namespace linkrate_cli {

// The port that `serve` listens on, and that HOST without :PORT means.
inline constexpr int kDefaultPort = 7878;

struct Endpoint {
    std::string host;
    int port = kDefaultPort;
};

// A port 1..65535 in plain decimal, or nothing.
std::optional<int> parse_port(const std::string& text);

// "HOST" or "HOST:PORT". Returns nothing, with `error` set, for an empty host,
// a bad port, or an IPv6 address (bracketed or bare), which the LAN test does
// not speak.
std::optional<Endpoint> parse_endpoint(const std::string& text, std::string& error);

}  // namespace linkrate_cli
