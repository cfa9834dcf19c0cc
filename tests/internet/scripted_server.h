// A small HTTP/1.x server for the cases nginx will not play: chosen statuses,
// delays, silence, resets, short bodies, a listener that goes away, and a
// record of every request with its timing. Connections are kept alive after a
// plain reply, and each is served on a thread of its own. Loopback only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace linkrate::test {

struct RecordedRequest {
    std::string method;  // "GET", "POST"
    std::string target;  // "/empty?t=0_1234"
    std::string head;    // the request line and header lines, as sent
    std::uint64_t content_length = 0;
    std::uint64_t body_received = 0;  // body bytes read before the reply
    bool body_all_z = true;           // every body byte read was 0x5A
    double started = 0.0;             // steady clock, s: request head read
    double ended = 0.0;               // steady clock, s: connection done

    // Whether the head carries the header `name` (any case), with any value.
    bool has_header(const std::string& name) const;
};

struct Reply {
    enum class Kind {
        respond,       // the status and a body of body_bytes (zeros)
        reset,         // close with a reset, without answering
        truncate,      // promise body_bytes, send truncate_after of them, close
        silent,        // never answer; hold the connection until the peer goes
        refuse_later,  // reset now and close the listener: later connects are refused
    };
    Kind kind = Kind::respond;
    int status = 200;
    std::uint64_t body_bytes = 0;
    std::uint64_t truncate_after = 0;
    int delay_ms = 0;        // before answering
    bool read_body = true;   // read the whole request body before answering
    std::string location{};  // a Location header, when not empty
};

using Script = std::function<Reply(const RecordedRequest&)>;

class ScriptedServer {
public:
    // Listens on a free loopback port at once; check ok().
    explicit ScriptedServer(Script script);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    bool ok() const { return port_ > 0; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // Requests whose connection is done with them.
    std::vector<RecordedRequest> requests() const;
    // "<method> <target>" of every request whose head was read, at once.
    std::vector<std::string> heads() const;
    // The most requests of `method` whose target starts with `prefix` that
    // were under way at the same moment.
    int max_concurrent(const std::string& method, const std::string& prefix) const;

private:
    void accept_loop();
    void serve(int fd);
    bool serve_one(int fd, std::string& pending);
    void reap(bool all);

    Script script_;
    int listener_ = -1;
    int port_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> refuse_{false};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    struct Connection {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::list<Connection> connections_;  // finished ones are joined by the acceptor
    std::vector<RecordedRequest> requests_;
    std::vector<std::string> heads_;
};

double steady_seconds();

}  // namespace linkrate::test
