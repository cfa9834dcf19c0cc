// The program's POSIX code: the interrupt signals, the terminal on stderr, a
// free port and the network probes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "interrupt.h"
#include "net_probe.h"
#include "system.h"

namespace linkrate_cli {

// --- Interrupts ------------------------------------------------------------------

namespace {

// Takes the signals synchronously on a thread of its own, so the cancel
// request is an ordinary call rather than work inside a signal handler.
void watch_signals(sigset_t set) {
    int first = 0;
    while (first == 0) {
        if (sigwait(&set, &first) != 0) first = 0;
    }
    interrupt_arrived(128 + first);
    for (;;) {
        int again = 0;
        if (sigwait(&set, &again) == 0) interrupt_again();
    }
}

}  // namespace

void start_interrupt_watch() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(watch_signals, set).detach();
}

void exit_now(int status) { _exit(status); }

// --- The terminal ------------------------------------------------------------------

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

std::size_t stderr_columns() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

std::size_t stdout_columns() {
    winsize size{};
    if (isatty(STDOUT_FILENO) == 1 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0)
        return size.ws_col;
    return 0;
}

bool stderr_takes_vt() { return true; }

void write_stderr(const char* text, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = write(STDERR_FILENO, text + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// --- A free port -------------------------------------------------------------------

int free_loopback_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

// --- Network probes ------------------------------------------------------------------

namespace {

// A descriptor closed when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// How often a wait that may be stopped looks at its stop flag.
constexpr int kStopLookMs = 10;

int ms_until(ProbeClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ProbeClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for `events` on `fd` until the deadline, or until `stop` is set;
// false when it passed or stop was set.
bool wait_for(int fd, short events, ProbeClock::time_point deadline,
              const std::atomic<bool>* stop) {
    for (;;) {
        if (stop != nullptr && stop->load()) return false;
        const int left = ms_until(deadline);
        pollfd p{fd, events, 0};
        const int ready = poll(&p, 1, stop != nullptr ? std::min(left, kStopLookMs) : left);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
        if (ready == 0 && (stop == nullptr || left <= kStopLookMs)) return false;
    }
}

}  // namespace

Lookup run_lookup(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    Lookup result;
    const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0) {
        result.outcome = LookupOutcome::not_found;
        result.error = gai_strerror(status);
        return result;
    }
    result.outcome = LookupOutcome::found;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = "";
        const void* raw =
            a->ai_family == AF_INET
                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr)
                : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
        if (inet_ntop(a->ai_family, raw, text, sizeof text) != nullptr) {
            result.numeric.emplace_back(text);
        }
    }
    freeaddrinfo(found);
    return result;
}

Connection connect_to(const std::string& address, int port, const std::string& probe,
                      const std::string& expect, ProbeClock::time_point deadline,
                      const std::atomic<bool>* stop) {
    Connection result;
    sockaddr_storage storage{};
    socklen_t size = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        size = sizeof *v4;
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        size = sizeof *v6;
    } else {
        result.error = "not a numeric address";
        return result;
    }
    Descriptor fd(socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) {
        result.error = std::strerror(errno);
        return result;
    }
    int error = 0;
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&storage), size) != 0) {
        if (errno != EINPROGRESS) {
            error = errno;
        } else if (!wait_for(fd.get(), POLLOUT, deadline, stop)) {
            result.outcome = ConnectOutcome::silent;
            return result;
        } else {
            socklen_t length = sizeof error;
            getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
        }
    }
    if (error == ECONNREFUSED) {
        result.outcome = ConnectOutcome::refused;
        return result;
    }
    if (error == ETIMEDOUT || error == EHOSTUNREACH || error == ENETUNREACH) {
        result.outcome = error == ETIMEDOUT ? ConnectOutcome::silent : ConnectOutcome::failed;
        result.error = std::strerror(error);
        return result;
    }
    if (error != 0) {
        result.error = std::strerror(error);
        return result;
    }
    result.outcome = ConnectOutcome::open;
    if (probe.empty()) return result;
    const auto sent = ProbeClock::now();
    if (send(fd.get(), probe.data(), probe.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(probe.size())) {
        return result;
    }
    std::string reply;
    char buffer[64];
    while (reply.size() < expect.size() && wait_for(fd.get(), POLLIN, deadline, stop)) {
        const ssize_t got = recv(fd.get(), buffer, sizeof buffer, 0);
        if (got <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(got));
    }
    result.answer_time = ProbeClock::now() - sent;
    result.answered = reply.compare(0, expect.size(), expect) == 0 && reply.size() >= expect.size();
    return result;
}

BindOutcome try_bind(int port, std::string& error) {
    Descriptor fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        error = std::strerror(errno);
        return BindOutcome::failed;
    }
    // As the server binds: a port whose old connections linger is free.
    int one = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(fd.get(), 1) == 0) {
        return BindOutcome::free;
    }
    const int cause = errno;
    error = std::strerror(cause);
    if (cause == EADDRINUSE) return BindOutcome::in_use;
    if (cause == EACCES || cause == EPERM) return BindOutcome::not_permitted;
    return BindOutcome::failed;
}

}  // namespace linkrate_cli
