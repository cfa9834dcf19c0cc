/*
 * tarnwell-linkrate: a network speed-test library.
 *
 * Measures latency and throughput across a LAN, against the library's own
 * built-in TCP test server, and across the internet, against an HTTP
 * speed-test server named by a base URL. Every outcome is published as a
 * short JSON text (linkrate_result_json) and every failure as a message
 * (linkrate_last_error).
 *
 * ABI policy: libraries with the same major version have the same ABI. The
 * shared library's SONAME carries the major version.
 *
 * Threads: any function may be called on any thread. Every test runs on the
 * caller's thread and blocks it until the test ends; the progress callback
 * runs on that same thread. Call linkrate_init (or let the first test do it)
 * before calling from several threads at once, and call linkrate_init and
 * linkrate_cleanup only while no other call is under way.
 *
 * The JSON text is one object with seven members, always in this order:
 *   "ping_ms"        real     mean latency of the latest ping phase, ms
 *   "download_mbps"  real     latest download throughput, Mbit/s (10^6 bit/s)
 *   "upload_mbps"    real     latest upload throughput, Mbit/s
 *   "duration_ms"    integer  duration of the latest transfer measurement, ms
 *   "jitter_ms"      real     latency jitter of the latest internet run, ms
 *   "server"         string   what the latest test ran against
 *   "phase"          string   "idle", "ping", "download", "upload" or "complete"
 * for example
 *   {"ping_ms":0.0,"download_mbps":0.0,"upload_mbps":0.0,"duration_ms":0,
 *    "jitter_ms":0.0,"server":"lan","phase":"idle"}
 * (on one line, without whitespace).
 */
#ifndef TARNWELL_LINKRATE_H
#define TARNWELL_LINKRATE_H

#include <stdint.h>

#define LINKRATE_VERSION_MAJOR 2
#define LINKRATE_VERSION_MINOR 0
#define LINKRATE_VERSION_PATCH 0

#if defined(_WIN32)
#if defined(LINKRATE_BUILDING_SHARED)
#define LINKRATE_API __declspec(dllexport)
#elif defined(LINKRATE_STATIC)
#define LINKRATE_API
#else
#define LINKRATE_API __declspec(dllimport)
#endif
#elif defined(LINKRATE_BUILDING_SHARED) && defined(__GNUC__)
#define LINKRATE_API __attribute__((visibility("default")))
#else
#define LINKRATE_API
#endif

#if defined(__cplusplus)
#define LINKRATE_NOEXCEPT noexcept
extern "C" {
#else
#define LINKRATE_NOEXCEPT
#endif

/*
 * The progress callback of the internet run. `phase` is a library-owned text:
 * "ping" (value: one request's latency in ms; percent 10 x its ordinal),
 * "download" or "upload" (value: the running rate in Mbit/s; percent: elapsed
 * part of the 3 s phase), "complete" (value: the final upload rate; percent
 * 100, once, when the run succeeded). Runs on the thread of the run; it must
 * not call linkrate_init, linkrate_cleanup or linkrate_set_tick.
 */
typedef void (*TickCallback)(const char* phase, double value, int32_t percent);

/*
 * Initialises the library: resets the result record to idle, empties the
 * last-error text and clears a pending cancel request. Returns 0, or -1 when
 * the socket library cannot start. Calling it again while initialised resets
 * the same state again. Does not block on the network.
 */
LINKRATE_API int32_t linkrate_init(void) LINKRATE_NOEXCEPT;

/*
 * Stops a running LAN server (waiting up to about 3 s for its listener) and
 * releases the HTTP and socket libraries. Keeps the result record, the JSON
 * text, the last-error text and the registered callback. Call it when no
 * test runs, before unloading the library.
 */
LINKRATE_API void linkrate_cleanup(void) LINKRATE_NOEXCEPT;

/*
 * Starts the built-in LAN test server on all local IPv4 addresses at `port`
 * (only its low 16 bits are used; 0 lets the system choose a port, which is
 * not reported). Returns 0 when the server listens, also when it was running
 * already (it then keeps its first port), or -1 with the last-error text set.
 * Blocks up to about 2 s while the listener starts, about 5 s when it never
 * gets ready. Calls of start and stop from several threads take turns.
 * Initialises on first use.
 */
LINKRATE_API int32_t linkrate_start_server(int32_t port) LINKRATE_NOEXCEPT;

/*
 * Stops the LAN server if it runs; otherwise does nothing. Blocks up to about
 * 3 s for the listener thread. Connections in progress end after their current
 * block. Does not initialise.
 */
LINKRATE_API void linkrate_stop_server(void) LINKRATE_NOEXCEPT;

/*
 * Pings the LAN server at host:port `count` times (0 or less means 5), one
 * TCP connection per ping, each timed from the moment its connection is
 * established until the one-byte reply arrived: one round trip, without the
 * connection's set-up. Returns the mean round trip in milliseconds, or
 * -1.0 when no ping succeeded. Blocks up to about 7 s per ping against a
 * silent peer, plus the time the system takes to look up `host` for each ping,
 * which the library does not bound (a name server that never answers holds
 * each ping until the system's resolver gives up, often 10 s or more).
 * Cancellable between pings. Initialises on first use.
 */
LINKRATE_API double linkrate_ping(const char* host, int32_t port, int32_t count) LINKRATE_NOEXCEPT;

/*
 * Measures download throughput from the LAN server at host:port for
 * `duration_ms` milliseconds (0 or less means 2000). Returns Mbit/s, or -1.0
 * on failure. Blocks for the duration plus the connect time (at most 3 s)
 * and the system's look-up of `host`, which the library does not bound (as
 * for linkrate_ping); a stalled peer can hold it up to 5 s more. Cancellable.
 * Initialises on first use.
 */
LINKRATE_API double linkrate_download(const char* host, int32_t port,
                                      int32_t duration_ms) LINKRATE_NOEXCEPT;

/*
 * As linkrate_download, in the other direction. Counts the bytes the peer has
 * acknowledged by the end of the test: what the connection still holds then
 * (unsent, or sent and not yet acknowledged) is left out. On Windows the
 * system tells only the bytes sent and not yet acknowledged (Windows 10
 * version 1703 and later), so what still waits in the socket's send buffer
 * counts as delivered; on older Windows, and under Wine, nothing is left out.
 */
LINKRATE_API double linkrate_upload(const char* host, int32_t port,
                                    int32_t duration_ms) LINKRATE_NOEXCEPT;

/*
 * Runs the LAN ping, download and upload in turn against host:port, each
 * transfer for `duration_ms` (0 or less means 2000). Returns 0 when at least
 * one of them succeeded, -1 otherwise (also when cancelled). A pending cancel
 * is dropped once, when the run starts; one that arrives later stops the test
 * under way, or, between two tests, keeps the next one from starting.
 * Initialises on first use.
 */
LINKRATE_API int32_t linkrate_run_all(const char* host, int32_t port,
                                      int32_t duration_ms) LINKRATE_NOEXCEPT;

/*
 * Runs the internet test against the HTTP speed-test server at `base_url`
 * (at most 255 bytes are used; trailing slashes are dropped): ten latency
 * requests, 3 s of download on four transfers, 3 s of upload on two, with
 * progress reports to the registered callback. Each latency sample is one
 * request's time less its connection's set-up (name lookup, TCP connect, TLS
 * handshake; nothing on a reused connection), whatever the reply's status.
 * The throughput phases count only what the server took: download bodies of
 * 2xx replies, and upload bodies the server has acknowledged (what libcurl
 * and the connections still hold is left out) while their reply has not come
 * or is 2xx, in the running rate and the final one. A transfer answered with
 * any other status counts nothing and is tried again after 50 ms, so a wrong
 * base URL measures 0.0 in both directions. Returns 0 when all three
 * phases completed, -1 on failure or cancel (the record then keeps the phase
 * it reached). Blocks for about 6.3 s against a responsive server; a server
 * that never answers fails the run after about 30 s of latency time-outs, and
 * one that answers each latency request just within its 3 s time-out holds it
 * up to about 36 s. Each latency request, its name lookup included, ends
 * within 3 s: a lookup that stalls (a name server that never answers) is left
 * to finish on a thread of libcurl's own, which ends when the system's
 * resolver gives up. A cancel takes effect after the current latency request
 * (at most 3 s) or within about 50 ms in the download and upload phases.
 * Certificates and host names are not verified. Initialises on first use.
 */
LINKRATE_API int32_t linkrate_internet_run(const char* base_url) LINKRATE_NOEXCEPT;

/*
 * Returns the JSON text of the latest results (members above) in a
 * library-owned buffer at a fixed address. The text at that address changes
 * only during a call of this function, so call it for every read, from one
 * polling thread at a time; it is then always complete, also while a test
 * runs on another thread. Never blocks on the network. Initialises on first
 * use.
 */
LINKRATE_API const char* linkrate_result_json(void) LINKRATE_NOEXCEPT;

/*
 * Returns the library's version text: LINKRATE_VERSION_MAJOR, _MINOR and
 * _PATCH joined by dots. Any time, any thread.
 */
LINKRATE_API const char* linkrate_version(void) LINKRATE_NOEXCEPT;

/*
 * Registers the progress callback (NULL unregisters). Call it while the
 * library is initialised. Does not initialise.
 */
LINKRATE_API void linkrate_set_tick(TickCallback callback) LINKRATE_NOEXCEPT;

/*
 * Asks the running test to stop at its next check; usually called from
 * another thread. A request made while no test runs is dropped by the next
 * test (or full run) when it starts. Never blocks.
 */
LINKRATE_API void linkrate_cancel(void) LINKRATE_NOEXCEPT;

/*
 * Returns the message of the most recent failure (empty when none since
 * initialisation), in one process-wide library-owned buffer. Read it right
 * after the call that reported the failure, on the same thread, and do not
 * let tests fail on several threads at once when you rely on it.
 */
LINKRATE_API const char* linkrate_last_error(void) LINKRATE_NOEXCEPT;

#if defined(__cplusplus)
}
#endif

#endif /* TARNWELL_LINKRATE_H */
