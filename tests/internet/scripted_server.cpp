#include "scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace linkrate::test {
namespace {

constexpr std::size_t kChunk = 65536;

bool wait_readable(int fd, const std::atomic<bool>& stopping) {
    while (!stopping.load()) {
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, 20);
        if (ready > 0) return true;
        if (ready < 0) return false;
    }
    return false;
}

// Reads up to `cap` bytes; 0 on end, stop or error.
std::size_t read_some(int fd, char* buf, std::size_t cap, const std::atomic<bool>& stopping) {
    if (!wait_readable(fd, stopping)) return 0;
    ssize_t got = recv(fd, buf, cap, 0);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
}

bool send_all(int fd, const char* data, std::size_t size, const std::atomic<bool>& stopping) {
    while (size > 0 && !stopping.load()) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return size == 0;
}

bool send_zeros(int fd, std::uint64_t count, const std::atomic<bool>& stopping) {
    static const char zeros[kChunk] = {};
    while (count > 0) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, kChunk));
        if (!send_all(fd, zeros, n, stopping)) return false;
        count -= n;
    }
    return true;
}

void close_with_reset(int fd) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

std::uint64_t header_content_length(const std::string& lower) {
    auto at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) return 0;
    return std::strtoull(lower.c_str() + at + 17, nullptr, 10);
}

}  // namespace

bool RecordedRequest::has_header(const std::string& name) const {
    std::string lower_head(head);
    std::string lower_name = "\r\n" + name + ":";
    for (std::string* text : {&lower_head, &lower_name}) {
        std::transform(text->begin(), text->end(), text->begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
    return lower_head.find(lower_name) != std::string::npos;
}

double steady_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

ScriptedServer::ScriptedServer(Script script) : script_(std::move(script)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listener_ < 0) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 64) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(listener_);
        listener_ = -1;
        return;
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

ScriptedServer::~ScriptedServer() {
    stopping_.store(true);
    if (acceptor_.joinable()) acceptor_.join();
    reap(true);
}

void ScriptedServer::reap(bool all) {
    std::list<Connection> finished;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            auto next = std::next(it);
            if (all || it->done->load()) finished.splice(finished.end(), connections_, it);
            it = next;
        }
    }
    for (auto& c : finished) c.thread.join();
}

void ScriptedServer::accept_loop() {
    while (!stopping_.load() && !refuse_.load()) {
        reap(false);
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0 || refuse_.load()) continue;
        int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) continue;
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::lock_guard<std::mutex> hold(mutex_);
        connections_.push_back({std::thread([this, fd, done] {
                                    serve(fd);
                                    done->store(true);
                                }),
                                done});
    }
    close(listener_);
}

void ScriptedServer::serve(int fd) {
    std::string pending;
    while (serve_one(fd, pending)) {
    }
}

// Serves one request; true when the connection stays open for another.
bool ScriptedServer::serve_one(int fd, std::string& pending) {
    char buf[kChunk];
    std::size_t head_end = pending.find("\r\n\r\n");
    while (head_end == std::string::npos) {
        std::size_t got = read_some(fd, buf, sizeof buf, stopping_);
        if (got == 0) {
            close(fd);
            return false;
        }
        pending.append(buf, got);
        head_end = pending.find("\r\n\r\n");
    }
    RecordedRequest request;
    request.started = steady_seconds();
    const std::string head = pending.substr(0, head_end + 2);
    pending.erase(0, head_end + 4);
    std::size_t space1 = head.find(' ');
    std::size_t space2 = head.find(' ', space1 + 1);
    request.method = head.substr(0, space1);
    request.target = head.substr(space1 + 1, space2 - space1 - 1);
    std::string lower_head(head);
    std::transform(lower_head.begin(), lower_head.end(), lower_head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    request.content_length = header_content_length(lower_head);
    request.head = head;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        heads_.push_back(request.method + " " + request.target);
    }

    Reply reply = script_(request);
    // A client that waits for leave to send a large body gets it at once.
    if (reply.read_body && request.content_length > pending.size() &&
        lower_head.find("\r\nexpect: 100-continue") != std::string::npos) {
        static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        send_all(fd, kContinue, sizeof kContinue - 1, stopping_);
    }
    auto take_body = [&](const char* data, std::size_t n) {
        for (std::size_t k = 0; k < n; ++k) request.body_all_z &= data[k] == 0x5A;
        request.body_received += n;
    };
    std::size_t early =
        static_cast<std::size_t>(std::min<std::uint64_t>(pending.size(), request.content_length));
    take_body(pending.data(), early);
    pending.erase(0, early);
    if (reply.read_body) {
        while (request.body_received < request.content_length) {
            std::uint64_t left = request.content_length - request.body_received;
            std::size_t got = read_some(
                fd, buf, static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof buf)),
                stopping_);
            if (got == 0) break;
            take_body(buf, got);
        }
    }
    for (int waited = 0; waited < reply.delay_ms && !stopping_.load(); waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    bool keep_open = false;
    switch (reply.kind) {
        case Reply::Kind::refuse_later:
            refuse_.store(true);
            close_with_reset(fd);
            break;
        case Reply::Kind::reset:
            close_with_reset(fd);
            break;
        case Reply::Kind::silent:
            while (read_some(fd, buf, sizeof buf, stopping_) > 0) {
            }
            close(fd);
            break;
        case Reply::Kind::respond:
        case Reply::Kind::truncate: {
            const bool truncated = reply.kind == Reply::Kind::truncate;
            // A connection whose request body was not read, or whose reply is
            // cut short, cannot carry another request.
            keep_open = !truncated && request.body_received == request.content_length;
            std::string response =
                "HTTP/1.1 " + std::to_string(reply.status) +
                " Scripted\r\nContent-Length: " + std::to_string(reply.body_bytes) + "\r\n" +
                (reply.location.empty() ? "" : "Location: " + reply.location + "\r\n") +
                (keep_open ? "" : "Connection: close\r\n") + "\r\n";
            bool sent =
                send_all(fd, response.data(), response.size(), stopping_) &&
                send_zeros(fd, truncated ? reply.truncate_after : reply.body_bytes, stopping_);
            keep_open = keep_open && sent;
            if (!keep_open) {
                shutdown(fd, SHUT_WR);
                // Let the client read to the end before the descriptor goes.
                while (read_some(fd, buf, sizeof buf, stopping_) > 0) {
                }
                close(fd);
            }
            break;
        }
    }
    request.ended = steady_seconds();
    std::lock_guard<std::mutex> hold(mutex_);
    requests_.push_back(std::move(request));
    return keep_open;
}

std::vector<std::string> ScriptedServer::heads() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return heads_;
}

std::vector<RecordedRequest> ScriptedServer::requests() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return requests_;
}

int ScriptedServer::max_concurrent(const std::string& method, const std::string& prefix) const {
    std::vector<std::pair<double, int>> events;
    for (const auto& r : requests()) {
        if (r.method != method || r.target.rfind(prefix, 0) != 0) continue;
        events.emplace_back(r.started, +1);
        events.emplace_back(r.ended, -1);
    }
    std::sort(events.begin(), events.end());
    int now = 0;
    int most = 0;
    for (const auto& e : events) most = std::max(most, now += e.second);
    return most;
}

}  // namespace linkrate::test
