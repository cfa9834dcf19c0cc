/* netlab-delay: the delay, jitter and loss stage of the network lab.
 *
 * Takes every packet that an iptables NFQUEUE rule hands to its queue, drops
 * it with the loss probability, otherwise holds it for the delay plus a jitter
 * drawn uniformly from [-jitter, +jitter] and then lets it pass. Packets leave
 * in the order they arrived: a packet is never released before the one ahead
 * of it, so a jitter larger than the gap between packets raises the delay of
 * the later ones instead of reordering them. The number of held packets is
 * bounded; a packet arriving at a full queue is dropped and counted.
 *
 * One instance serves one queue in one network namespace; bench/netlab starts
 * one per shaped direction. It runs until SIGTERM, SIGINT or SIGHUP, or until
 * the process named by --watch-pid ends, then releases what it holds, prints
 * its counters on stderr and exits 0.
 *
 * With --rate-bps it is also the link's bottleneck: packets are sent out one
 * after another at that rate (their IP length and a 14-byte Ethernet header
 * per frame), wait in a queue for their turn, and a packet that would wait
 * longer than --bottleneck-us is dropped (drop-tail); the delay follows the
 * bottleneck. Held here, after the receiving namespace's IP layer has let go
 * of the sending socket, such a queue fills as at a real bloated link, where
 * a qdisc on the sender's own path would be kept nearly empty by TCP Small
 * Queues.
 *
 * Usage: netlab-delay [--queue N] [--delay-us D] [--jitter-us J] [--loss P]
 *                     [--rate-bps R --bottleneck-us Q]
 *                     [--limit PACKETS] [--seed S] [--watch-pid PID]
 *   P is a probability from 0 to 1. It prints "ready pid=<pid>" on stdout
 *   once the queue is bound, so the caller knows when to add its rule.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <inttypes.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

struct options {
    unsigned queue;
    int64_t delay_ns;
    int64_t jitter_ns;
    double loss;
    double rate_bps;       /* 0: no bottleneck */
    int64_t bottleneck_ns; /* longest wait for the bottleneck */
    size_t limit;
    uint64_t seed;
    long watch_pid;
};

struct held_packet {
    uint32_t id;
    int64_t due_ns;
};

/* Packets waiting for their release time, oldest first, in a ring. */
struct held_queue {
    struct held_packet* slots;
    size_t capacity;
    size_t head;
    size_t count;
    int64_t last_due_ns; /* release time of the newest packet */
};

struct counters {
    uint64_t received;
    uint64_t passed;
    uint64_t lost;
    uint64_t overflowed;
    uint64_t queue_dropped;
    uint64_t verdict_errors;
    uint64_t receive_overruns;
    size_t peak_held;
};

struct stage {
    struct options opt;
    int64_t bottleneck_free_ns; /* when the bottleneck has sent what it holds */
    struct held_queue held;
    struct counters count;
    struct nfq_q_handle* queue;
    uint64_t rng;
};

static volatile sig_atomic_t g_stop = 0;

static void on_stop_signal(int signo) {
    (void)signo;
    g_stop = 1;
}

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

/* splitmix64: small, fast and good enough for loss and jitter draws. */
static uint64_t next_random(uint64_t* state) {
    uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

/* A uniform draw from [0, 1). */
static double next_unit(uint64_t* state) {
    return (double)(next_random(state) >> 11) * (1.0 / 9007199254740992.0);
}

static void usage_exit(const char* message) {
    fprintf(stderr,
            "netlab-delay: %s\n"
            "usage: netlab-delay [--queue N] [--delay-us D] [--jitter-us J] [--loss P]\n"
            "                    [--rate-bps R --bottleneck-us Q]\n"
            "                    [--limit PACKETS] [--seed S] [--watch-pid PID]\n",
            message);
    exit(2);
}

static double parse_number(const char* text, const char* name, double low, double high) {
    char* end = NULL;
    errno = 0;
    double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        char message[128];
        snprintf(message, sizeof message, "bad value '%s' for %s", text, name);
        usage_exit(message);
    }
    return value;
}

static struct options parse_options(int argc, char** argv) {
    struct options opt = {.queue = 0,
                          .delay_ns = 0,
                          .jitter_ns = 0,
                          .loss = 0.0,
                          .rate_bps = 0.0,
                          .bottleneck_ns = 0,
                          .limit = 20000,
                          .seed = (uint64_t)now_ns() ^ ((uint64_t)getpid() << 32),
                          .watch_pid = 0};
    for (int i = 1; i < argc; i += 2) {
        const char* name = argv[i];
        if (i + 1 >= argc) usage_exit("missing value");
        const char* value = argv[i + 1];
        if (strcmp(name, "--queue") == 0) {
            opt.queue = (unsigned)parse_number(value, name, 0, 65535);
        } else if (strcmp(name, "--delay-us") == 0) {
            opt.delay_ns = (int64_t)(parse_number(value, name, 0, 60e6) * 1000.0);
        } else if (strcmp(name, "--jitter-us") == 0) {
            opt.jitter_ns = (int64_t)(parse_number(value, name, 0, 60e6) * 1000.0);
        } else if (strcmp(name, "--loss") == 0) {
            opt.loss = parse_number(value, name, 0.0, 1.0);
        } else if (strcmp(name, "--rate-bps") == 0) {
            opt.rate_bps = parse_number(value, name, 0, 1e12);
        } else if (strcmp(name, "--bottleneck-us") == 0) {
            opt.bottleneck_ns = (int64_t)(parse_number(value, name, 0, 60e6) * 1000.0);
        } else if (strcmp(name, "--limit") == 0) {
            opt.limit = (size_t)parse_number(value, name, 1, 1e6);
        } else if (strcmp(name, "--seed") == 0) {
            opt.seed = (uint64_t)parse_number(value, name, 0, 1e15);
        } else if (strcmp(name, "--watch-pid") == 0) {
            opt.watch_pid = (long)parse_number(value, name, 1, 1e9);
        } else {
            usage_exit("unknown option");
        }
    }
    return opt;
}

/* Lets every held packet whose time has come pass, with one batch verdict:
 * the kernel accepts every packet still waiting with an id up to the given
 * one, and the only packets below it not in the ring were already dropped. */
static void release_due(struct stage* s, int64_t now) {
    struct held_queue* h = &s->held;
    size_t released = 0;
    uint32_t last_id = 0;
    while (h->count > 0 && h->slots[h->head].due_ns <= now) {
        last_id = h->slots[h->head].id;
        h->head = (h->head + 1) % h->capacity;
        h->count--;
        released++;
    }
    if (released == 0) return;
    if (nfq_set_verdict_batch(s->queue, last_id, NF_ACCEPT) < 0) s->count.verdict_errors++;
    s->count.passed += released;
}

static void drop_packet(struct stage* s, uint32_t id) {
    if (nfq_set_verdict(s->queue, id, NF_DROP, 0, NULL) < 0) s->count.verdict_errors++;
}

static int on_packet(struct nfq_q_handle* queue, struct nfgenmsg* message, struct nfq_data* data,
                     void* context) {
    (void)queue;
    (void)message;
    struct stage* s = context;
    struct nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(data);
    if (header == NULL) return 0;
    uint32_t id = ntohl(header->packet_id);
    s->count.received++;

    if (s->opt.loss > 0.0 && next_unit(&s->rng) < s->opt.loss) {
        drop_packet(s, id);
        s->count.lost++;
        return 0;
    }
    struct held_queue* h = &s->held;
    if (h->count == h->capacity) {
        drop_packet(s, id);
        s->count.overflowed++;
        return 0;
    }
    int64_t now = now_ns();
    int64_t sent = now;
    if (s->opt.rate_bps > 0.0) {
        /* The IP total length (the copy holds the header), for a GSO packet
         * the whole of it, and a 14-byte Ethernet header per frame. */
        unsigned char* payload = NULL;
        int copied = nfq_get_payload(data, &payload);
        double bytes = 1514.0;
        if (copied >= 4) {
            double ip_len = (double)(((unsigned)payload[2] << 8) | payload[3]);
            bytes =
                ip_len + 14.0 * (ip_len > 1500.0 ? (double)(((long)ip_len + 1499) / 1500) : 1.0);
        }
        int64_t start = s->bottleneck_free_ns > now ? s->bottleneck_free_ns : now;
        if (start - now > s->opt.bottleneck_ns) {
            drop_packet(s, id);
            s->count.queue_dropped++;
            return 0;
        }
        sent = start + (int64_t)(bytes * 8.0 / s->opt.rate_bps * 1e9);
        s->bottleneck_free_ns = sent;
    }
    int64_t hold = s->opt.delay_ns;
    if (s->opt.jitter_ns > 0) {
        hold += (int64_t)((2.0 * next_unit(&s->rng) - 1.0) * (double)s->opt.jitter_ns);
        if (hold < 0) hold = 0;
    }
    int64_t due = sent + hold;
    if (h->count > 0 && due < h->last_due_ns) due = h->last_due_ns; /* keep the order */
    h->slots[(h->head + h->count) % h->capacity] = (struct held_packet){.id = id, .due_ns = due};
    h->count++;
    h->last_due_ns = due;
    if (h->count > s->count.peak_held) s->count.peak_held = h->count;
    return 0;
}

/* Reads what the kernel has queued for us, a bounded number of messages per
 * call so that due packets are not kept waiting behind a long burst. */
static int drain_socket(struct stage* s, struct nfq_handle* handle, int fd, char* buffer,
                        size_t size) {
    for (int i = 0; i < 256; i++) {
        ssize_t got = recv(fd, buffer, size, MSG_DONTWAIT);
        if (got > 0) {
            nfq_handle_packet(handle, buffer, (int)got);
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
        if (got < 0 && errno == ENOBUFS) {
            /* The kernel dropped packets it could not hand over; go on. */
            s->count.receive_overruns++;
            continue;
        }
        fprintf(stderr, "netlab-delay: receive failed: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

static int open_pidfd(long pid) {
#ifdef SYS_pidfd_open
    return (int)syscall(SYS_pidfd_open, (pid_t)pid, 0);
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

static void install_signal_handlers(sigset_t* wait_mask) {
    sigset_t blocked;
    sigemptyset(&blocked);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    const int signals[] = {SIGTERM, SIGINT, SIGHUP};
    for (size_t i = 0; i < sizeof signals / sizeof signals[0]; i++) {
        sigaction(signals[i], &action, NULL);
        sigaddset(&blocked, signals[i]);
    }
    /* The signals are only let through inside ppoll, so a stop request can
     * never slip in between the check of g_stop and the wait. */
    sigprocmask(SIG_BLOCK, &blocked, wait_mask);
    sigdelset(wait_mask, SIGTERM);
    sigdelset(wait_mask, SIGINT);
    sigdelset(wait_mask, SIGHUP);
}

int main(int argc, char** argv) {
    struct stage s;
    memset(&s, 0, sizeof s);
    s.opt = parse_options(argc, argv);
    s.rng = s.opt.seed;
    s.held.capacity = s.opt.limit;
    s.held.slots = calloc(s.held.capacity, sizeof *s.held.slots);
    if (s.held.slots == NULL) {
        fprintf(stderr, "netlab-delay: out of memory\n");
        return 1;
    }

    sigset_t wait_mask;
    install_signal_handlers(&wait_mask);
    /* Release times are in nanoseconds; the default 50 us timer slack would
     * be visible on short delays. */
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    int watch_fd = -1;
    if (s.opt.watch_pid > 0) {
        watch_fd = open_pidfd(s.opt.watch_pid);
        if (watch_fd < 0) {
            fprintf(stderr, "netlab-delay: cannot watch process %ld: %s\n", s.opt.watch_pid,
                    strerror(errno));
            return 1;
        }
    }

    struct nfq_handle* handle = nfq_open();
    if (handle == NULL) {
        fprintf(stderr, "netlab-delay: cannot open netfilter queue handle: %s\n", strerror(errno));
        return 1;
    }
    s.queue = nfq_create_queue(handle, (uint16_t)s.opt.queue, on_packet, &s);
    if (s.queue == NULL) {
        fprintf(stderr, "netlab-delay: cannot bind queue %u (in use, or no nfnetlink_queue): %s\n",
                s.opt.queue, strerror(errno));
        nfq_close(handle);
        return 1;
    }
    /* Only the packet id is needed, and for the bottleneck the IP header's
     * length field. */
    if (nfq_set_mode(s.queue, s.opt.rate_bps > 0.0 ? NFQNL_COPY_PACKET : NFQNL_COPY_META,
                     s.opt.rate_bps > 0.0 ? 4 : 0) < 0) {
        fprintf(stderr, "netlab-delay: cannot set copy mode: %s\n", strerror(errno));
        nfq_destroy_queue(s.queue);
        nfq_close(handle);
        return 1;
    }
    /* The kernel keeps every held packet on its side too; let it keep as many
     * as we do, so that our limit is the one that counts. */
    nfq_set_queue_maxlen(s.queue, (uint32_t)(s.opt.limit + 1024));
    /* Without loss a segmentation offload packet may pass as one piece; with
     * loss every wire packet must be drawn on its own, so the kernel splits. */
    if (s.opt.loss == 0.0) nfq_set_queue_flags(s.queue, NFQA_CFG_F_GSO, NFQA_CFG_F_GSO);
    int fd = nfq_fd(handle);
    nfnl_rcvbufsiz(nfq_nfnlh(handle), 16u << 20);

    printf("ready pid=%ld\n", (long)getpid());
    fflush(stdout);

    enum { kBufferSize = 1 << 16 };
    char* buffer = malloc(kBufferSize);
    int status = 0;
    if (buffer == NULL) {
        fprintf(stderr, "netlab-delay: out of memory\n");
        status = 1;
        g_stop = 1;
    }
    const char* stop_reason = "signal";
    while (!g_stop) {
        int64_t now = now_ns();
        release_due(&s, now);
        struct timespec timeout;
        struct timespec* timeout_ptr = NULL;
        if (s.held.count > 0) {
            int64_t wait = s.held.slots[s.held.head].due_ns - now;
            if (wait < 0) wait = 0;
            timeout.tv_sec = (time_t)(wait / 1000000000);
            timeout.tv_nsec = (long)(wait % 1000000000);
            timeout_ptr = &timeout;
        }
        struct pollfd fds[2] = {{.fd = fd, .events = POLLIN}, {.fd = watch_fd, .events = POLLIN}};
        int ready = ppoll(fds, watch_fd >= 0 ? 2 : 1, timeout_ptr, &wait_mask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            fprintf(stderr, "netlab-delay: wait failed: %s\n", strerror(errno));
            status = 1;
            break;
        }
        if (watch_fd >= 0 && (fds[1].revents & POLLIN)) {
            stop_reason = "watched process ended";
            break;
        }
        if ((fds[0].revents & POLLIN) && drain_socket(&s, handle, fd, buffer, kBufferSize) != 0) {
            status = 1;
            break;
        }
    }

    /* Let everything still held go before unbinding, rather than have the
     * kernel drop it. */
    if (s.held.count > 0) {
        uint32_t last_id = s.held.slots[(s.held.head + s.held.count - 1) % s.held.capacity].id;
        if (nfq_set_verdict_batch(s.queue, last_id, NF_ACCEPT) < 0) s.count.verdict_errors++;
        s.count.passed += s.held.count;
        s.held.count = 0;
    }
    nfq_destroy_queue(s.queue);
    nfq_close(handle);
    if (watch_fd >= 0) close(watch_fd);
    free(buffer);
    free(s.held.slots);
    fprintf(stderr,
            "netlab-delay: queue %u stopped (%s): received %" PRIu64 ", passed %" PRIu64
            ", lost %" PRIu64 ", overflowed %" PRIu64 ", dropped at the bottleneck %" PRIu64
            ", peak held %zu, verdict errors %" PRIu64 ", receive overruns %" PRIu64 "\n",
            s.opt.queue, stop_reason, s.count.received, s.count.passed, s.count.lost,
            s.count.overflowed, s.count.queue_dropped, s.count.peak_held, s.count.verdict_errors,
            s.count.receive_overruns);
    return status;
}
