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
    std::string port_text;
    if (!text.empty() && text.front() == '[') {
        // A bracketed address may hold colons of its own.
        auto close = text.find(']');
        if (close == std::string::npos) {
            error = "missing ']' in host '" + text + "'";
            return std::nullopt;
        }
        endpoint.host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') {
                error = "unexpected text after ']' in '" + text + "'";
                return std::nullopt;
            }
            port_text = text.substr(close + 2);
            if (port_text.empty()) port_text = "-";
        }
    } else {
        auto colon = text.rfind(':');
        endpoint.host = text.substr(0, colon);
        if (colon != std::string::npos) port_text = text.substr(colon + 1);
        if (colon != std::string::npos && port_text.empty()) port_text = "-";
    }
    if (endpoint.host.empty()) {
        error = "missing host in '" + text + "'";
        return std::nullopt;
    }
    if (!port_text.empty()) {
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
