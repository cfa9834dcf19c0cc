// The connections of the upload phase and what they have not delivered yet.
// libcurl does not tell which socket a transfer on a multi handle uses, so
// the upload handles open and close their sockets through the two callbacks
// here, which keep the set of open ones. Runs on the thread of the run.
#pragma once

#include <curl/curl.h>

#include <array>
#include <cstdint>

#include "platform/socket.h"

namespace linkrate {

class UploadSockets {
public:
    UploadSockets() { open_.fill(platform::kInvalidSocket); }
    UploadSockets(const UploadSockets&) = delete;
    UploadSockets& operator=(const UploadSockets&) = delete;

    // Sets an upload handle's open- and close-socket options, so that the
    // sockets of its connections are known here. This record must outlive
    // the multi handle: libcurl closes cached connections in its clean-up.
    void attach(CURL* easy);

    // Bytes written to the connections that their peer has not acknowledged:
    // what each open socket holds (each counted once, however many transfers
    // share it), plus what each closed one held as it closed.
    std::uint64_t undelivered() const;

    // Stops counting: closes from now on (the phase's clean-up) are not
    // added. Sockets keep being opened and closed as libcurl asks.
    void stop_counting() { counting_ = false; }

    // libcurl's open- and close-socket callbacks; `clientp` is this record.
    static curl_socket_t curl_open_socket_cb(void* clientp, curlsocktype purpose,
                                             curl_sockaddr* address);
    static int curl_close_socket_cb(void* clientp, curl_socket_t item);

private:
    // Connections of two transfers, with room for connection attempts in
    // parallel; a socket beyond it is used but not counted.
    static constexpr int kCapacity = 16;
    std::array<platform::SocketHandle, kCapacity> open_;
    std::uint64_t closed_undelivered_ = 0;
    bool counting_ = true;
};

}  // namespace linkrate
