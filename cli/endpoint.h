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

// "HOST", "HOST:PORT" or "[IPv6]:PORT". Returns nothing, with `error` set, for
// an empty host or a bad port.
std::optional<Endpoint> parse_endpoint(const std::string& text, std::string& error);

}  // namespace linkrate_cli
