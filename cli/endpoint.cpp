#include "endpoint.h"

#include <charconv>

namespace linkrate_cli {

std::optional<int> parse_port(const std::string& text) {
    int port = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, port);
    if (text.empty() || ec != std::errc() || ptr != end || port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

std::optional<Endpoint> parse_endpoint(const std::string& text, std::string& error) {
    Endpoint endpoint;
    // "[v6]:PORT", or a bare IPv6 address with its several colons: the LAN
    // server listens on IPv4 only, so say so rather than fail to connect.
    if ((!text.empty() && text.front() == '[') || text.find(':') != text.rfind(':')) {
        error = "address '" + text + "': the LAN test speaks IPv4 only";
        return std::nullopt;
    }
    const auto colon = text.find(':');
    endpoint.host = text.substr(0, colon);
    if (endpoint.host.empty()) {
        error = "missing host in '" + text + "'";
        return std::nullopt;
    }
    if (colon != std::string::npos) {
        const std::string port_text = text.substr(colon + 1);
        auto port = parse_port(port_text);
        if (!port) {
            error = "port must be a number from 1 to 65535, not '" + port_text + "'";
            return std::nullopt;
        }
        endpoint.port = *port;
    }
    return endpoint;
}

}  // namespace linkrate_cli
