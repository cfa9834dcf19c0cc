// After a failed test, the program finds out by itself what it can about the
// target, within a few seconds, and says it in a few words for the failure
// line: whether the name resolves, whether the host takes a TCP connection,
// and what the server makes of the requests.
#pragma once

#include <string>

namespace linkrate_cli {

// The time all of one diagnosis may take.
inline constexpr int kDiagnosisSeconds = 3;

// For a LAN server at host:port: "connection refused by 192.0.2.1:7878",
// "accepts connections but did not answer the ping: is it a linkrate
// server?", ... Empty when nothing is wrong that the program can see.
std::string diagnose_lan(const std::string& host, int port);

// For an HTTP speed-test server at `base_url`: as for LAN, then one GET of
// "<base_url>/garbage" for its status: "the server answered 404 to GET
// <url>: check the base URL", "redirected to <url>: use that URL". Empty when
// nothing is wrong that the program can see.
std::string diagnose_internet(const std::string& base_url);

// Why a server could not listen on `port`: "port 80 is in use", ... Empty
// when the program cannot tell.
std::string diagnose_bind(int port);

// Whether `url` starts with "http://" or "https://", in any case.
bool is_http_url(const std::string& url);

}  // namespace linkrate_cli
