// Every message that the library writes into the last-error text, in one place.
#pragma once

#include <array>
#include <cstddef>

namespace linkrate::msg {

// One row per message: its name in the code and its text. The named constants
// and the table kAll both come from this one list, so neither can miss one.
#define LINKRATE_MESSAGES(X)                                                       \
    X(kSocketStartupFailed, "WSAStartup failed")                                   \
    X(kServerThreadFailed, "Failed to create server listener thread")              \
    X(kServerBindFailed, "Server failed to bind or listen")                        \
    X(kInvalidHostOrPort, "Invalid host or port")                                  \
    X(kCancelled, "Cancelled by user")                                             \
    X(kNoPings, "No pings succeeded")                                              \
    X(kConnectFailed, "Connect to host failed")                                    \
    X(kSendDownloadFailed, "Send download command failed")                         \
    X(kSendUploadFailed, "Send upload command failed")                             \
    X(kOutOfMemory, "Out of memory")                                               \
    X(kAllTestsFailed, "All tests failed")                                         \
    X(kInvalidBaseUrl, "Invalid or empty base_url")                                \
    X(kPingHandleFailed, "Failed to initialize curl easy handle for ping")         \
    X(kPingFailed, "Ping failed against server")                                   \
    X(kDownloadMultiFailed, "Failed to initialize curl multi handle for download") \
    X(kUploadMultiFailed, "Failed to initialize curl multi handle for upload")

#define LINKRATE_MESSAGE_CONSTANT(name, text) inline constexpr const char* name = text;
LINKRATE_MESSAGES(LINKRATE_MESSAGE_CONSTANT)
#undef LINKRATE_MESSAGE_CONSTANT

#define LINKRATE_MESSAGE_ROW(name, text) name,
inline constexpr std::array kAll = {LINKRATE_MESSAGES(LINKRATE_MESSAGE_ROW)};
#undef LINKRATE_MESSAGE_ROW
#undef LINKRATE_MESSAGES

// The last-error text keeps 511 bytes and the host's copy of it 512: every
// message has to fit whole.
constexpr bool every_message_fits(std::size_t limit) {
    for (const char* text : kAll) {
        std::size_t length = 0;
        while (text[length] != '\0') ++length;
        if (length > limit) return false;
    }
    return true;
}
static_assert(every_message_fits(511), "a message is longer than the last-error text");

}  // namespace linkrate::msg
