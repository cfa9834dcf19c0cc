// Every message that the library writes into the last-error text, in one place.
#pragma once

namespace linkrate::msg {

inline constexpr const char* kSocketStartupFailed = "WSAStartup failed";
inline constexpr const char* kServerThreadFailed = "Failed to create server listener thread";
inline constexpr const char* kServerBindFailed = "Server failed to bind or listen";
inline constexpr const char* kInvalidHostOrPort = "Invalid host or port";
inline constexpr const char* kCancelled = "Cancelled by user";
inline constexpr const char* kNoPings = "No pings succeeded";
inline constexpr const char* kConnectFailed = "Connect to host failed";
inline constexpr const char* kSendDownloadFailed = "Send download command failed";
inline constexpr const char* kSendUploadFailed = "Send upload command failed";
inline constexpr const char* kOutOfMemory = "Out of memory";
inline constexpr const char* kAllTestsFailed = "All tests failed";
inline constexpr const char* kInvalidBaseUrl = "Invalid or empty base_url";
inline constexpr const char* kPingHandleFailed = "Failed to initialize curl easy handle for ping";
inline constexpr const char* kPingFailed = "Ping failed against server";
inline constexpr const char* kDownloadMultiFailed =
    "Failed to initialize curl multi handle for download";
inline constexpr const char* kUploadMultiFailed =
    "Failed to initialize curl multi handle for upload";

}  // namespace linkrate::msg
