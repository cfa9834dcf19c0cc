#include "internet/upload_sockets.h"

#include <algorithm>

namespace linkrate {

void UploadSockets::attach(CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, curl_open_socket_cb);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, curl_close_socket_cb);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
}

std::uint64_t UploadSockets::undelivered() const {
    std::uint64_t total = closed_undelivered_;
    for (platform::SocketHandle socket : open_) {
        if (socket != platform::kInvalidSocket)
            total += platform::socket_unacknowledged_bytes(socket);
    }
    return total;
}

curl_socket_t UploadSockets::curl_open_socket_cb(void* clientp, curlsocktype,
                                                 curl_sockaddr* address) {
    auto* self = static_cast<UploadSockets*>(clientp);
    platform::Socket socket =
        platform::socket_create(address->family, address->socktype, address->protocol);
    if (!socket) return CURL_SOCKET_BAD;
    auto slot = std::find(self->open_.begin(), self->open_.end(), platform::kInvalidSocket);
    if (slot != self->open_.end()) *slot = socket.get();
    return socket.release();
}

int UploadSockets::curl_close_socket_cb(void* clientp, curl_socket_t item) {
    auto* self = static_cast<UploadSockets*>(clientp);
    auto slot = std::find(self->open_.begin(), self->open_.end(), item);
    if (slot != self->open_.end()) {
        // What a connection that ends early (a reset, a refused body) had
        // not delivered never arrives.
        if (self->counting_)
            self->closed_undelivered_ += platform::socket_unacknowledged_bytes(item);
        *slot = platform::kInvalidSocket;
    }
    platform::socket_close(item);
    return 0;
}

}  // namespace linkrate
