// The program's Windows code: the console's interrupt keys, the console on
// stderr, a free port and the network probes, with Winsock.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <string>

#include "interrupt.h"
#include "net_probe.h"
#include "system.h"

namespace linkrate_cli {
namespace {

// Winsock for the program's own sockets, started once, whatever the library
// does with its own count.
void start_winsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

// The system's words for a Winsock or system error code.
std::string system_message(int code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message =
        length > 0 && text != nullptr ? std::string(text, length) : "error " + std::to_string(code);
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

// A socket closed when it goes out of scope.
class OwnedSocket {
public:
    explicit OwnedSocket(SOCKET s) : s_(s) {}
    ~OwnedSocket() {
        if (s_ != INVALID_SOCKET) closesocket(s_);
    }
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;
    SOCKET get() const { return s_; }

private:
    SOCKET s_;
};

SOCKET new_socket(int family) {
    return WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

std::atomic<bool> g_interrupted_once{false};

}  // namespace

// --- Interrupts --------------------------------------------------------------------

int __stdcall console_control(unsigned long event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            // Ctrl-C's status, as a POSIX shell reports SIGINT, for all three.
            if (g_interrupted_once.exchange(true)) interrupt_again();
            interrupt_arrived(130);
            return TRUE;
        default:
            return FALSE;
    }
}

void start_interrupt_watch() {
    // The system calls the handler on a thread of its own for each event.
    SetConsoleCtrlHandler(reinterpret_cast<PHANDLER_ROUTINE>(console_control), TRUE);
}

void exit_now(int status) {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    for (;;) {
    }
}

// --- The console ---------------------------------------------------------------------

bool stderr_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::size_t stderr_columns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) != 0) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0) return static_cast<std::size_t>(columns);
    }
    return 80;
}

std::size_t stdout_columns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) == 0) return 0;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? static_cast<std::size_t>(columns) : 0;
}

bool stderr_takes_vt() {
    // Asked once: a console that takes VT sequences keeps the mode.
    static const bool takes = [] {
        HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
        DWORD mode = 0;
        if (GetConsoleMode(handle, &mode) == 0) return false;
        if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
        return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    }();
    return takes;
}

void write_stderr(const char* text, std::size_t size) {
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    std::size_t done = 0;
    while (done < size) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(size - done > 65536 ? 65536 : size - done);
        if (WriteFile(handle, text + done, chunk, &written, nullptr) == 0 || written == 0) return;
        done += written;
    }
}

// --- A free port ---------------------------------------------------------------------

int free_loopback_port() {
    start_winsock();
    OwnedSocket s(new_socket(AF_INET));
    if (s.get() == INVALID_SOCKET) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(s.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return -1;
    }
    return ntohs(addr.sin_port);
}

// --- Network probes ------------------------------------------------------------------

namespace {

// How often a wait that may be stopped looks at its stop flag.
constexpr int kStopLookMs = 10;

int ms_until(ProbeClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ProbeClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until `s` is readable (or, for `writable`, connected or failed),
// until the deadline or until `stop` is set; false when it passed or stop
// was set.
bool wait_for(SOCKET s, bool writable, ProbeClock::time_point deadline,
              const std::atomic<bool>* stop = nullptr) {
    for (;;) {
        if (stop != nullptr && stop->load()) return false;
        const int left = ms_until(deadline);
        const int ms = stop != nullptr ? (std::min)(left, kStopLookMs) : left;
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        FD_SET(s, &failed);
        timeval limit{ms / 1000, (ms % 1000) * 1000};
        const int got =
            select(0, writable ? nullptr : &ready, writable ? &ready : nullptr, &failed, &limit);
        if (got != 0) return got > 0;
        if (stop == nullptr || left <= kStopLookMs) return false;
    }
}

}  // namespace

Lookup run_lookup(const std::string& host) {
    start_winsock();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    Lookup result;
    const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0) {
        result.outcome = LookupOutcome::not_found;
        result.error = system_message(status);
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
    start_winsock();
    Connection result;
    sockaddr_storage storage{};
    int size = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<u_short>(port));
        size = sizeof *v4;
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<u_short>(port));
        size = sizeof *v6;
    } else {
        result.error = "not a numeric address";
        return result;
    }
    OwnedSocket s(new_socket(storage.ss_family));
    if (s.get() == INVALID_SOCKET) {
        result.error = system_message(WSAGetLastError());
        return result;
    }
    u_long non_blocking = 1;
    ioctlsocket(s.get(), FIONBIO, &non_blocking);
    int error = 0;
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&storage), size) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            error = WSAGetLastError();
        } else if (!wait_for(s.get(), true, deadline, stop)) {
            result.outcome = ConnectOutcome::silent;
            return result;
        } else {
            int length = sizeof error;
            getsockopt(s.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        }
    }
    if (error == WSAECONNREFUSED) {
        result.outcome = ConnectOutcome::refused;
        return result;
    }
    if (error == WSAETIMEDOUT || error == WSAEHOSTUNREACH || error == WSAENETUNREACH) {
        result.outcome = error == WSAETIMEDOUT ? ConnectOutcome::silent : ConnectOutcome::failed;
        result.error = system_message(error);
        return result;
    }
    if (error != 0) {
        result.error = system_message(error);
        return result;
    }
    result.outcome = ConnectOutcome::open;
    if (probe.empty()) return result;
    const auto sent = ProbeClock::now();
    const int want = static_cast<int>(probe.size());
    while (send(s.get(), probe.data(), want, 0) != want) {
        if (WSAGetLastError() != WSAEWOULDBLOCK || !wait_for(s.get(), true, deadline, stop)) {
            return result;
        }
    }
    std::string reply;
    char buffer[64];
    while (reply.size() < expect.size() && wait_for(s.get(), false, deadline, stop)) {
        const int got = recv(s.get(), buffer, sizeof buffer, 0);
        if (got <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(got));
    }
    result.answer_time = ProbeClock::now() - sent;
    result.answered = reply.compare(0, expect.size(), expect) == 0 && reply.size() >= expect.size();
    return result;
}

BindOutcome try_bind(int port, std::string& error) {
    start_winsock();
    OwnedSocket s(new_socket(AF_INET));
    if (s.get() == INVALID_SOCKET) {
        error = system_message(WSAGetLastError());
        return BindOutcome::failed;
    }
    // As the server binds on Windows: the port for this socket alone.
    int one = 1;
    setsockopt(s.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
               sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(s.get(), 1) == 0) {
        return BindOutcome::free;
    }
    const int cause = WSAGetLastError();
    error = system_message(cause);
    if (cause == WSAEADDRINUSE) return BindOutcome::in_use;
    if (cause == WSAEACCES) return BindOutcome::not_permitted;
    return BindOutcome::failed;
}

}  // namespace linkrate_cli
