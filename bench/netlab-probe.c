/* netlab-probe: the measuring ends of the network lab's self-test.
 *
 *   netlab-probe echo-server PORT SECONDS
 *       TCP echo on every IPv4 address, one connection at a time, for at most
 *       SECONDS.
 *   netlab-probe echo HOST PORT COUNT GAP_MS [SECONDS]
 *       COUNT round trips of one byte over one TCP connection (no Nagle),
 *       starting GAP_MS apart (or back to back when one takes longer), and
 *       none started after SECONDS when given; with NETLAB_PROBE_TRACE set,
 *       each one's start and time go to stderr. Prints the round-trip times
 *       in milliseconds:
 *       "rtt_ms count=N min=.. median=.. mean=.. max=.. jitter=.. p90=.."
 *       where jitter is the mean absolute difference of consecutive samples
 *       and p90 the 90th percentile (nearest rank).
 *   netlab-probe udp-sink PORT COUNT SECONDS
 *       Counts distinct datagrams numbered 0..COUNT-1; stops when all came,
 *       one second after the last one, or after SECONDS; prints
 *       "received=K expected=COUNT".
 *   netlab-probe udp-send HOST PORT COUNT GAP_US
 *       Sends COUNT numbered 64-byte datagrams, GAP_US apart.
 *
 * Servers print "ready" on stdout once they listen. Every mode is bounded in
 * time. Exit status: 0 done, 1 failed, 2 usage.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kDatagramSize = 64, kConnectTimeoutMs = 5000, kReplyTimeoutMs = 5000 };

static double now_s(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static int fail(const char* what) {
    fprintf(stderr, "netlab-probe: %s: %s\n", what, strerror(errno));
    return 1;
}

static long parse_count(const char* text, long low, long high) {
    char* end = NULL;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        fprintf(stderr, "netlab-probe: bad number '%s'\n", text);
        exit(2);
    }
    return value;
}

static struct sockaddr_in make_address(const char* host, long port) {
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    if (host == NULL) {
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        fprintf(stderr, "netlab-probe: '%s' is not an IPv4 address\n", host);
        exit(2);
    }
    return addr;
}

/* Waits until fd is ready for the events or the deadline passes; 1 ready,
 * 0 timed out, -1 failed. */
static int wait_for(int fd, short events, double deadline) {
    for (;;) {
        double left = deadline - now_s();
        if (left <= 0) return 0;
        struct pollfd p = {.fd = fd, .events = events};
        int r = poll(&p, 1, (int)(left * 1000.0) + 1);
        if (r > 0) return 1;
        if (r == 0) continue;
        if (errno != EINTR) return -1;
    }
}

static int echo_server(long port, long seconds) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) return fail("socket");
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr = make_address(NULL, port);
    if (bind(listener, (struct sockaddr*)&addr, sizeof addr) != 0) return fail("bind");
    if (listen(listener, 4) != 0) return fail("listen");
    printf("ready\n");
    fflush(stdout);
    double deadline = now_s() + (double)seconds;
    while (wait_for(listener, POLLIN, deadline) == 1) {
        int peer = accept(listener, NULL, NULL);
        if (peer < 0) continue;
        setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char buffer[4096];
        while (wait_for(peer, POLLIN, deadline) == 1) {
            ssize_t got = recv(peer, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            if (send(peer, buffer, (size_t)got, MSG_NOSIGNAL) != got) break;
        }
        close(peer);
    }
    close(listener);
    return 0;
}

static int compare_doubles(const void* a, const void* b) {
    double x = *(const double*)a;
    double y = *(const double*)b;
    return (x > y) - (x < y);
}

static int echo_client(const char* host, long port, long count, long gap_ms, long seconds) {
    struct sockaddr_in addr = make_address(host, port);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) return fail("socket");
    if (connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0 && errno != EINPROGRESS) {
        return fail("connect");
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (wait_for(fd, POLLOUT, now_s() + kConnectTimeoutMs / 1000.0) != 1 ||
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        errno = error != 0 ? error : ETIMEDOUT;
        return fail("connect");
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    double* samples = calloc((size_t)count, sizeof *samples);
    if (samples == NULL) return fail("calloc");
    const char* trace = getenv("NETLAB_PROBE_TRACE");
    const double begin = now_s();
    const double stop_at = seconds > 0 ? begin + (double)seconds : 0.0;
    long taken = 0;
    for (long i = 0; i < count; i++) {
        if (stop_at > 0 && now_s() >= stop_at) break;
        char byte = (char)('a' + i % 26);
        double start = now_s();
        if (send(fd, &byte, 1, MSG_NOSIGNAL) != 1) return fail("send");
        char reply = 0;
        for (;;) {
            if (wait_for(fd, POLLIN, start + kReplyTimeoutMs / 1000.0) != 1) {
                errno = ETIMEDOUT;
                return fail("echo reply");
            }
            ssize_t got = recv(fd, &reply, 1, 0);
            if (got == 1) break;
            if (got == 0 || (errno != EAGAIN && errno != EINTR)) return fail("echo reply");
        }
        samples[i] = (now_s() - start) * 1000.0;
        taken = i + 1;
        if (trace != NULL) fprintf(stderr, "sample t=%.3f ms=%.3f\n", start - begin, samples[i]);
        /* GAP_MS from the start of one round trip to the next, or none when
         * the round trip took longer. */
        double rest = start + (double)gap_ms / 1000.0 - now_s();
        if (rest > 0) {
            struct timespec gap = {.tv_sec = (time_t)rest,
                                   .tv_nsec = (long)((rest - (double)(time_t)rest) * 1e9)};
            nanosleep(&gap, NULL);
        }
    }
    close(fd);
    count = taken;
    if (count == 0) {
        free(samples);
        return fail("no round trip in time");
    }

    double sum = 0.0;
    double jitter_sum = 0.0;
    for (long i = 0; i < count; i++) {
        sum += samples[i];
        if (i > 0)
            jitter_sum += samples[i] > samples[i - 1] ? samples[i] - samples[i - 1]
                                                      : samples[i - 1] - samples[i];
    }
    double mean = sum / (double)count;
    double jitter = count > 1 ? jitter_sum / (double)(count - 1) : 0.0;
    qsort(samples, (size_t)count, sizeof *samples, compare_doubles);
    double median =
        count % 2 ? samples[count / 2] : (samples[count / 2 - 1] + samples[count / 2]) / 2.0;
    /* Nearest rank: the smallest sample that 90 % of them do not exceed. */
    long rank = (long)((9 * count + 9) / 10);
    double p90 = samples[(rank > 0 ? rank : 1) - 1];
    printf("rtt_ms count=%ld min=%.3f median=%.3f mean=%.3f max=%.3f jitter=%.3f p90=%.3f\n", count,
           samples[0], median, mean, samples[count - 1], jitter, p90);
    free(samples);
    return 0;
}

static int udp_sink(long port, long count, long seconds) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return fail("socket");
    int buffer_size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer_size, sizeof buffer_size);
    struct sockaddr_in addr = make_address(NULL, port);
    if (bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0) return fail("bind");
    unsigned char* seen = calloc((size_t)count, 1);
    if (seen == NULL) return fail("calloc");
    printf("ready\n");
    fflush(stdout);

    long received = 0;
    const double deadline = now_s() + (double)seconds;
    double quiet_deadline = deadline;
    while (received < count) {
        /* After the first datagram, one quiet second ends the count. */
        if (wait_for(fd, POLLIN, quiet_deadline < deadline ? quiet_deadline : deadline) != 1) break;
        unsigned char datagram[kDatagramSize];
        ssize_t got = recv(fd, datagram, sizeof datagram, 0);
        if (got != kDatagramSize) continue;
        uint32_t number;
        memcpy(&number, datagram, sizeof number);
        number = ntohl(number);
        if (number < (uint32_t)count && !seen[number]) {
            seen[number] = 1;
            received++;
        }
        quiet_deadline = now_s() + 1.0;
    }
    printf("received=%ld expected=%ld\n", received, count);
    free(seen);
    close(fd);
    return 0;
}

static int udp_send(const char* host, long port, long count, long gap_us) {
    struct sockaddr_in addr = make_address(host, port);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return fail("socket");
    if (connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0) return fail("connect");
    unsigned char datagram[kDatagramSize];
    memset(datagram, 'x', sizeof datagram);
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (long i = 0; i < count; i++) {
        uint32_t number = htonl((uint32_t)i);
        memcpy(datagram, &number, sizeof number);
        /* A full socket buffer or a refused port is no reason to stop: the
         * sink counts what arrives. */
        (void)send(fd, datagram, sizeof datagram, 0);
        next.tv_nsec += gap_us * 1000;
        while (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            next.tv_sec++;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL) == EINTR) {
        }
    }
    close(fd);
    return 0;
}

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "echo-server") == 0 && argc == 4) {
        return echo_server(parse_count(argv[2], 1, 65535), parse_count(argv[3], 1, 3600));
    }
    if (strcmp(mode, "echo") == 0 && (argc == 6 || argc == 7)) {
        return echo_client(argv[2], parse_count(argv[3], 1, 65535), parse_count(argv[4], 1, 100000),
                           parse_count(argv[5], 0, 10000),
                           argc == 7 ? parse_count(argv[6], 1, 3600) : 0);
    }
    if (strcmp(mode, "udp-sink") == 0 && argc == 5) {
        return udp_sink(parse_count(argv[2], 1, 65535), parse_count(argv[3], 1, 10000000),
                        parse_count(argv[4], 1, 3600));
    }
    if (strcmp(mode, "udp-send") == 0 && argc == 6) {
        return udp_send(argv[2], parse_count(argv[3], 1, 65535), parse_count(argv[4], 1, 10000000),
                        parse_count(argv[5], 0, 1000000));
    }
    fprintf(stderr,
            "usage: netlab-probe echo-server PORT SECONDS\n"
            "       netlab-probe echo HOST PORT COUNT GAP_MS [SECONDS]\n"
            "       netlab-probe udp-sink PORT COUNT SECONDS\n"
            "       netlab-probe udp-send HOST PORT COUNT GAP_US\n");
    return 2;
}
