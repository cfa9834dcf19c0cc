// The built-in LAN test server: a listener thread that accepts on all local
// IPv4 addresses, and one short-lived thread per accepted connection.
#include "lan/server.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "frame/messages.h"
#include "frame/state.h"
#include "lan/protocol.h"
#include "platform/platform.h"
#include "platform/socket.h"

namespace linkrate {

std::atomic<std::uint32_t> g_server_running{0};
std::atomic<std::uint64_t> g_server_connections_ended{0};

namespace {

using platform::kInvalidSocket;
using platform::Socket;
using platform::SocketHandle;

constexpr int kListenBacklog = 64;
constexpr int kAcceptWaitMs = 100;
constexpr int kStartPauseMs = 10;
constexpr int kStartPauses = 200;
constexpr int kListenerStopWaitMs = 3000;
// After a failed wait or accept (out of descriptors, say) the listener rests
// this long rather than spinning until the condition clears.
constexpr int kListenerRetryPauseMs = 10;

// What one start shares with its listener thread. Each start has its own, so
// a listener that outlived its stop touches nothing of a newer server.
struct ServerRun {
    std::int32_t port = 0;
    std::uint32_t number = 0;
    std::atomic<int> ready{0};    // 1 once the listener listens
    std::atomic<int> gave_up{0};  // 1 when the listener could not set up
    // The listening socket while nobody has claimed it for closing. Whoever
    // takes it out (exchange) closes it: the stop sequence or the listener.
    std::atomic<SocketHandle> sock{kInvalidSocket};
    // 1 once the listener is past its last use of the socket, just before it
    // takes the socket out for closing.
    std::atomic<int> listener_done{0};
};

// Start, stop and cleanup may come from several host threads at once; they
// take turns. Only they touch these two.
platform::Lock g_server_control;
std::shared_ptr<ServerRun> g_server_run;
platform::ThreadHandle g_server_thread;
std::uint32_t g_last_run_number = 0;

bool still_running(std::uint32_t number) { return g_server_running.load() == number; }

void stream_download(SocketHandle socket, std::uint32_t number) {
    platform::HeapBlock block = platform::heap_block(kBlockSize);
    if (!block) return;
    std::memset(block.get(), kDownloadFill, kBlockSize);
    // A short send counts like a full one: the rest of that block is dropped.
    while (still_running(number)) {
        if (platform::socket_send(socket, block.get(), kBlockSize) <= 0) break;
    }
}

void swallow_upload(SocketHandle socket, std::uint32_t number) {
    platform::HeapBlock block = platform::heap_block(kBlockSize);
    if (!block) return;
    while (still_running(number)) {
        if (platform::socket_recv(socket, block.get(), kBlockSize) <= 0) break;
    }
}

// One accepted connection, served for the start numbered `number`.
void server_worker_thread(Socket socket, std::uint32_t number) {
    set_socket_tuning(socket.get());
    unsigned char command = 0;
    if (platform::socket_recv(socket.get(), &command, 1) == 1) {
        switch (command) {
            case kCommandPing:
                // Answered even when the server stopped since the accept.
                platform::socket_send(socket.get(), &kCommandPing, 1);
                break;
            case kCommandDownload:
                stream_download(socket.get(), number);
                break;
            case kCommandUpload:
                swallow_upload(socket.get(), number);
                break;
            default:
                break;
        }
    }
    socket.shutdown_and_close();
    g_server_connections_ended.fetch_add(1);
}

void accept_loop(SocketHandle listening, std::uint32_t number) {
    while (still_running(number)) {
        platform::Readiness found;
        int ready = platform::socket_wait(listening, {.readable = true}, kAcceptWaitMs, &found);
        if (!still_running(number)) break;
        if (ready < 0) platform::sleep_ms(kListenerRetryPauseMs);
        if (ready <= 0 || !found.readable) continue;
        Socket accepted = platform::socket_accept(listening);
        if (!accepted) {
            platform::sleep_ms(kListenerRetryPauseMs);
            continue;
        }
        // The task owns the socket; a thread that cannot be had closes it
        // without a shutdown as the task is dropped.
        platform::thread_start_detached(
            platform::make_thread_task([socket = std::move(accepted), number]() mutable {
                server_worker_thread(std::move(socket), number);
            }));
    }
}

// The listener of one start; its share of `run` keeps that start's state alive.
void server_listener_thread(const std::shared_ptr<ServerRun>& shared_run) {
    ServerRun& run = *shared_run;

    Socket listening = platform::socket_create_tcp();
    if (!listening) {
        run.gave_up.store(1);
        return;
    }
    platform::socket_set_option(listening.get(), platform::SocketOption::listener_address, 1);
    // Set before any handshake: a connection's receive window limit comes from
    // the buffer it has when it is set up (docs/benchmarks.md, "Found and mended").
    platform::socket_set_option(listening.get(), platform::SocketOption::receive_buffer,
                                kSocketBufferBytes);
    // Only the low 16 bits of the port count: 0 and multiples of 65536 let the
    // system choose, -1 is 65535.
    auto port = static_cast<unsigned short>(static_cast<std::uint32_t>(run.port) & 0xFFFFu);
    if (platform::socket_listen_any_ipv4(listening.get(), port, kListenBacklog) != 0) {
        run.gave_up.store(1);
        return;
    }
    SocketHandle handle = listening.release();
    run.sock.store(handle);
    run.ready.store(1);
    accept_loop(handle, run.number);
    // Close it unless the stop sequence has claimed it; then the stop closes it
    // once this thread has ended, or hands it back here (see hand_back()).
    run.listener_done.store(1);
    if (run.sock.exchange(kInvalidSocket) != kInvalidSocket) platform::socket_close(handle);
}

// The stop sequence's wait for the listener ran out, so the listener may still
// be about to wait or accept on `claimed`: closing it now would free its
// number for the next socket of this process, whose connections the listener
// could then take. It goes back to the listener, which closes it as it ends.
// Exactly one side closes it: the listener marks itself done before it takes
// the socket out, and a listener found done may have taken it out before it
// was put back, so the stop takes it out again; either exchange that finds it
// there closes it.
void hand_back(ServerRun& run, SocketHandle claimed) {
    run.sock.store(claimed);
    if (run.listener_done.load() == 0) return;
    if (run.sock.exchange(kInvalidSocket) != kInvalidSocket) platform::socket_close(claimed);
}

// The stop sequence. The caller holds g_server_control.
void stop_server_locked() {
    std::shared_ptr<ServerRun> run = std::move(g_server_run);
    SocketHandle claimed = run ? run->sock.exchange(kInvalidSocket) : kInvalidSocket;
    g_server_running.store(0);
    // The shutdown stops the listening at once and wakes the listener; the
    // descriptor is closed only after the listener has let go of it, so its
    // number cannot be reused under a wait or accept still in progress.
    if (claimed != kInvalidSocket) platform::socket_shutdown(claimed);
    bool listener_ended = true;
    if (g_server_thread) {
        listener_ended = platform::thread_wait(g_server_thread, kListenerStopWaitMs);
        g_server_thread.reset();
    }
    if (claimed == kInvalidSocket) return;
    if (listener_ended) {
        platform::socket_close(claimed);
    } else {
        hand_back(*run, claimed);
    }
}

// Starts a listener for a new run; false when its thread cannot be created.
bool start_listener(std::int32_t port) {
    std::shared_ptr<ServerRun> run;
    try {
        run = std::make_shared<ServerRun>();
    } catch (const std::bad_alloc&) {
        return false;
    }
    run->port = port;
    if (++g_last_run_number == 0) ++g_last_run_number;
    run->number = g_last_run_number;
    g_server_running.store(run->number);
    g_server_thread =
        platform::thread_start(platform::make_thread_task([run] { server_listener_thread(run); }));
    if (!g_server_thread) {
        g_server_running.store(0);
        return false;
    }
    g_server_run = std::move(run);
    return true;
}

}  // namespace
}  // namespace linkrate

using namespace linkrate;

extern "C" LINKRATE_API int32_t linkrate_start_server(int32_t port) noexcept {
    ensure_initialized();
    std::lock_guard<platform::Lock> control(g_server_control);
    if (g_server_running.load() != 0) return 0;  // the running server keeps its port

    if (!start_listener(port)) {
        set_last_error(msg::kServerThreadFailed);
        return -1;
    }
    std::shared_ptr<const ServerRun> run = g_server_run;
    for (int pause = 0; pause < kStartPauses && run->ready.load() == 0; ++pause) {
        if (run->gave_up.load() != 0) break;
        platform::sleep_ms(kStartPauseMs);
    }
    if (run->ready.load() != 0) return 0;
    // Also after a listener that gave up: the stop waits for it to end and
    // drops its handle, so a failed start leaves no thread behind.
    stop_server_locked();
    set_last_error(msg::kServerBindFailed);
    return -1;
}

extern "C" LINKRATE_API void linkrate_stop_server(void) noexcept {
    if (g_server_running.load() == 0) return;
    std::lock_guard<platform::Lock> control(g_server_control);
    if (g_server_running.load() != 0) stop_server_locked();
}

namespace linkrate {

const Subsystem kLanServerSubsystem{nullptr, &linkrate_stop_server};

}  // namespace linkrate
