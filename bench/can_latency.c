// SPDX-License-Identifier: MIT
/*
 * can_latency: frames per second, receive latency and CPU time per frame
 * between two CAN interfaces on one bus (or one path: vcan0, the gateway,
 * the card, vcan1). For bench/netdev-bench.sh (a benchmark, not a test).
 *
 *   can_latency [OPTIONS] TX_IFACE RX_IFACE
 *
 * One raw CAN socket sends numbered frames on TX_IFACE (identifier --id,
 * 11 bits, 8 data bytes: the frame's number little-endian in bytes 0..3,
 * then 0xA5 0x5A 0xC3 0x3C); another, in a second thread, receives them on
 * RX_IFACE (a filter passes only that identifier). The sender takes
 * CLOCK_REALTIME just before each write and keeps it in a table by number;
 * the receiver works out two latencies a frame:
 *   stamp: the kernel's receive stamp (SO_TIMESTAMPNS, taken when the
 *          receiving driver handed the frame to the stack, netif_rx) minus
 *          the send time;
 *   user:  the receiver's own CLOCK_REALTIME when recvmsg returned minus
 *          the send time (adds the wake-up of the receiving thread).
 *
 * Without --rate the sender writes as fast as flow control lets it: the
 * socket's send buffer is the smallest the kernel allows, so a blocking
 * write waits while the driver's queue is stopped (the frames it holds are
 * charged to the socket until they are on the bus); a write refused with
 * ENOBUFS (the interface's queue full) is retried after 200 us and
 * counted. --window W also keeps at most W frames sent and not yet
 * received: an interface with no flow control of its own (vcan) would
 * otherwise overrun what is behind it. With --rate R the frames leave at R
 * a second (absolute deadlines of CLOCK_MONOTONIC; a late frame leaves at
 * once, none is skipped).
 *
 * The run ends when every frame arrived, or --idle seconds after the last
 * frame once all were sent, or after --timeout seconds in all. CPU time is
 * read at the start and the end: the guest's busy time, every CPU, as wall
 * time x CPUs - idle time (/proc/stat's idle and iowait, which the
 * tickless idle code measures; its busy fields only sample timer ticks,
 * which at low load under TCG miss or double-count much of it: tick_busy
 * shows them, for comparison); this program's own (CLOCK_PROCESS_CPUTIME_ID); with --pid
 * that process's utime + stime (/proc/PID/stat, clock ticks) and its run
 * time as the scheduler clocks it (/proc/PID/schedstat, where there).
 *
 * Output, one line:
 *   sent=N received=M lost=L dup=D out_of_order=O enobufs=E rx_drops=X
 *   seconds=S frames_per_s=F cpus=C busy_us=B tick_busy=K tool_us=T
 *   pid_ticks=P pid_run_us=R hz=H busy_us_per_frame=.. tool_us_per_frame=..
 *   pid_us_per_frame=.. pid_run_us_per_frame=.. stamp_median_us=..
 *   stamp_p99_us=.. user_median_us=.. user_p99_us=..
 * seconds: from the first write to the last frame received; frames_per_s:
 * received / seconds; *_per_frame: CPU time over frames received (-1: not
 * measured).
 * Exit status 0, 1 when a socket could not be set up or no frame arrived,
 * 2 for bad arguments.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <inttypes.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_FRAMES 1000000

struct options {
    const char *tx_if, *rx_if;
    unsigned long frames;
    double rate;  // frames per second, 0: as fast as allowed
    unsigned long window;
    long pid;
    canid_t id;
    double timeout_s, idle_s;
};

// What the two threads share. The send times are written before the frame
// goes out and read after it came back; the counters with atomics.
struct run {
    const struct options *opt;
    int tx, rx;
    int64_t *sent_at;  // CLOCK_REALTIME in ns, by frame number
    uint8_t *seen;
    double *stamp_us, *user_us;
    unsigned long n_stamp, n_user;
    unsigned long sent, received, dup, out_of_order, enobufs;
    uint32_t rx_drops;
    bool sender_done;
    struct timespec first_tx, last_rx, done_at;  // CLOCK_MONOTONIC
};

static void usage(void) {
    fprintf(stderr,
            "usage: can_latency [--frames N] [--rate R] [--window W] [--pid PID] [--id HEX]\n"
            "                   [--timeout S] [--idle S] TX_IFACE RX_IFACE\n");
    exit(2);
}

static double ts_diff_us(const struct timespec *a, const struct timespec *b) {
    return (double)(a->tv_sec - b->tv_sec) * 1e6 + (double)(a->tv_nsec - b->tv_nsec) / 1e3;
}

static int64_t ns_of(const struct timespec *t) { return (int64_t)t->tv_sec * 1000000000 + t->tv_nsec; }

static struct timespec now(clockid_t clk) {
    struct timespec t;
    clock_gettime(clk, &t);
    return t;
}

static bool parse_number(const char *s, double min, double max, double *out) {
    char *end;
    errno = 0;
    double v = strtod(s, &end);
    if (errno || end == s || *end || v < min || v > max) return false;
    *out = v;
    return true;
}

static void parse_options(int argc, char **argv, struct options *o) {
    *o = (struct options){.frames = 1000, .pid = -1, .id = 0x123, .timeout_s = 60, .idle_s = 2};
    int i;
    for (i = 1; i < argc && argv[i][0] == '-'; i += 2) {
        const char *name = argv[i];
        if (!strcmp(name, "--")) {
            i++;
            break;
        }
        if (i + 1 >= argc) usage();
        const char *val = argv[i + 1];
        double v;
        if (!strcmp(name, "--frames") && parse_number(val, 1, MAX_FRAMES, &v)) {
            o->frames = (unsigned long)v;
        } else if (!strcmp(name, "--rate") && parse_number(val, 0, 1e6, &v)) {
            o->rate = v;
        } else if (!strcmp(name, "--window") && parse_number(val, 0, MAX_FRAMES, &v)) {
            o->window = (unsigned long)v;
        } else if (!strcmp(name, "--pid") && parse_number(val, 1, 4194304, &v)) {
            o->pid = (long)v;
        } else if (!strcmp(name, "--timeout") && parse_number(val, 0.1, 3600, &v)) {
            o->timeout_s = v;
        } else if (!strcmp(name, "--idle") && parse_number(val, 0.01, 600, &v)) {
            o->idle_s = v;
        } else if (!strcmp(name, "--id")) {
            char *end;
            unsigned long id = strtoul(val, &end, 16);
            if (end == val || *end || id > CAN_SFF_MASK) {
                fprintf(stderr, "can_latency: --id %s: an 11-bit identifier in hex (0..7FF)\n", val);
                exit(2);
            }
            o->id = (canid_t)id;
        } else {
            fprintf(stderr, "can_latency: bad option or value: %s %s\n", name, val);
            usage();
        }
    }
    if (argc - i != 2) usage();
    o->tx_if = argv[i];
    o->rx_if = argv[i + 1];
}

// A raw socket bound to IFACE; NULL filter: receives nothing.
static int can_socket(const char *iface, const struct can_filter *filter) {
    unsigned int index = if_nametoindex(iface);
    if (!index) {
        fprintf(stderr, "can_latency: no interface %s\n", iface);
        return -1;
    }
    int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0) {
        perror("can_latency: socket(PF_CAN) (are can.ko and can-raw.ko loaded?)");
        return -1;
    }
    if (setsockopt(s, SOL_CAN_RAW, CAN_RAW_FILTER, filter, filter ? sizeof(*filter) : 0) < 0) {
        perror("can_latency: CAN_RAW_FILTER");
        close(s);
        return -1;
    }
    struct sockaddr_can addr = {.can_family = AF_CAN, .can_ifindex = (int)index};
    if (bind(s, (struct sockaddr *)&addr, sizeof(addr)) < 0) {
        fprintf(stderr, "can_latency: bind to %s: %s\n", iface, strerror(errno));
        close(s);
        return -1;
    }
    return s;
}

// The guest's idle time, all CPUs, in clock ticks: the idle and iowait
// fields of /proc/stat. Unlike its busy fields, which sample timer ticks
// (erratic at low load under an emulator), the idle time is measured
// (the tickless idle code clocks each idle period), so busy time is taken
// as wall time x CPUs - idle. Also the tick-counted busy fields (user,
// nice, system, irq, softirq, steal) in *busy.
static unsigned long long cpu_idle_ticks(unsigned long long *busy) {
    unsigned long long v[8] = {0};
    FILE *f = fopen("/proc/stat", "r");
    *busy = 0;
    if (!f) return 0;
    int n = fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                   &v[6], &v[7]);
    fclose(f);
    if (n < 7) return 0;
    *busy = v[0] + v[1] + v[2] + v[5] + v[6] + v[7];
    return v[3] + v[4];
}

// A process's run time in ns as the scheduler clocks it (the first field
// of /proc/PID/schedstat); -1 where the kernel has none.
static long long process_run_ns(long pid) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%ld/schedstat", pid);
    FILE *f = fopen(path, "r");
    if (!f) return -1;
    long long ns;
    int n = fscanf(f, "%lld", &ns);
    fclose(f);
    return n == 1 ? ns : -1;
}

// utime + stime of a process (fields 14 and 15 of /proc/PID/stat, counted
// after the command name, which may hold spaces and parentheses).
static long long process_ticks(long pid) {
    char path[64], buf[1024];
    if (pid < 0) snprintf(path, sizeof(path), "/proc/self/stat");
    else snprintf(path, sizeof(path), "/proc/%ld/stat", pid);
    FILE *f = fopen(path, "r");
    if (!f) return -1;
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = 0;
    char *p = strrchr(buf, ')');
    if (!p) return -1;
    unsigned long long ut, st;
    // After ")": state (3), then fields 4..13, then utime (14), stime (15).
    if (sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2) return -1;
    return (long long)(ut + st);
}

static unsigned long load(const unsigned long *v) { return __atomic_load_n(v, __ATOMIC_ACQUIRE); }
static void store(unsigned long *v, unsigned long x) { __atomic_store_n(v, x, __ATOMIC_RELEASE); }

static void take_frame(struct run *r, const struct can_frame *f, const struct timespec *stamp,
                       const struct timespec *user, uint32_t *last) {
    if (f->len != 8) return;
    uint32_t seq = (uint32_t)f->data[0] | (uint32_t)f->data[1] << 8 | (uint32_t)f->data[2] << 16 |
                   (uint32_t)f->data[3] << 24;
    if (seq >= r->opt->frames) return;
    if (r->seen[seq]) {
        r->dup++;
        return;
    }
    r->seen[seq] = 1;
    unsigned long got = load(&r->received);
    if (got && seq < *last) r->out_of_order++;
    *last = seq;
    int64_t sent = __atomic_load_n(&r->sent_at[seq], __ATOMIC_ACQUIRE);
    if (stamp) r->stamp_us[r->n_stamp++] = (double)(ns_of(stamp) - sent) / 1e3;
    r->user_us[r->n_user++] = (double)(ns_of(user) - sent) / 1e3;
    r->last_rx = now(CLOCK_MONOTONIC);
    store(&r->received, got + 1);
}

static void *receiver(void *arg) {
    struct run *r = arg;
    const struct options *o = r->opt;
    struct timespec start = now(CLOCK_MONOTONIC);
    uint32_t last = 0;

    while (load(&r->received) < o->frames) {
        struct timespec t = now(CLOCK_MONOTONIC);
        if (ts_diff_us(&t, &start) > o->timeout_s * 1e6) break;
        // Once all are sent: --idle seconds from the later of the last
        // write and the last frame received.
        if (__atomic_load_n(&r->sender_done, __ATOMIC_ACQUIRE)) {
            const struct timespec *from = &r->done_at;
            if (load(&r->received) && ts_diff_us(&r->last_rx, from) > 0) from = &r->last_rx;
            if (ts_diff_us(&t, from) > o->idle_s * 1e6) break;
        }
        struct pollfd pfd = {.fd = r->rx, .events = POLLIN};
        if (poll(&pfd, 1, 50) <= 0) continue;
        struct can_frame f;
        char ctrl[CMSG_SPACE(sizeof(struct timespec)) + CMSG_SPACE(sizeof(uint32_t))];
        struct iovec iov = {.iov_base = &f, .iov_len = sizeof(f)};
        struct msghdr msg = {
            .msg_iov = &iov, .msg_iovlen = 1, .msg_control = ctrl, .msg_controllen = sizeof(ctrl)};
        ssize_t n = recvmsg(r->rx, &msg, MSG_DONTWAIT);
        struct timespec user = now(CLOCK_REALTIME);
        if (n != (ssize_t)sizeof(f)) continue;
        const struct timespec *stamp = NULL;
        struct timespec stamp_v;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET) continue;
            if (c->cmsg_type == SO_TIMESTAMPNS) {
                memcpy(&stamp_v, CMSG_DATA(c), sizeof(stamp_v));
                stamp = &stamp_v;
            } else if (c->cmsg_type == SO_RXQ_OVFL) {
                memcpy(&r->rx_drops, CMSG_DATA(c), sizeof(r->rx_drops));
            }
        }
        take_frame(r, &f, stamp, &user, &last);
    }
    return NULL;
}

static void sleep_us(long us) {
    struct timespec t = {.tv_sec = us / 1000000, .tv_nsec = (us % 1000000) * 1000};
    nanosleep(&t, NULL);
}

static void sender(struct run *r) {
    const struct options *o = r->opt;
    struct timespec start = now(CLOCK_MONOTONIC);
    r->first_tx = start;
    for (unsigned long i = 0; i < o->frames; i++) {
        struct timespec t = now(CLOCK_MONOTONIC);
        if (ts_diff_us(&t, &start) > o->timeout_s * 1e6) break;
        if (o->rate > 0) {
            double at = (double)i / o->rate;
            struct timespec due = {.tv_sec = start.tv_sec + (time_t)at,
                                   .tv_nsec = start.tv_nsec + (long)((at - (double)(time_t)at) * 1e9)};
            if (due.tv_nsec >= 1000000000L) {
                due.tv_sec++;
                due.tv_nsec -= 1000000000L;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, NULL);
        }
        // The window: frames in flight, lost ones aside (bounded wait).
        if (o->window) {
            struct timespec w0 = now(CLOCK_MONOTONIC);
            while (i - load(&r->received) >= o->window) {
                struct timespec w = now(CLOCK_MONOTONIC);
                if (ts_diff_us(&w, &w0) > o->idle_s * 1e6) break;
                sleep_us(100);
            }
        }
        struct can_frame f = {.can_id = o->id, .len = 8};
        f.data[0] = (uint8_t)i;
        f.data[1] = (uint8_t)(i >> 8);
        f.data[2] = (uint8_t)(i >> 16);
        f.data[3] = (uint8_t)(i >> 24);
        f.data[4] = 0xA5;
        f.data[5] = 0x5A;
        f.data[6] = 0xC3;
        f.data[7] = 0x3C;
        for (;;) {
            struct timespec sent = now(CLOCK_REALTIME);
            __atomic_store_n(&r->sent_at[i], ns_of(&sent), __ATOMIC_RELEASE);
            ssize_t n = write(r->tx, &f, sizeof(f));
            if (n == (ssize_t)sizeof(f)) break;
            if (n < 0 && errno == ENOBUFS) {
                r->enobufs++;
                sleep_us(200);
                struct timespec e = now(CLOCK_MONOTONIC);
                if (ts_diff_us(&e, &start) > o->timeout_s * 1e6) goto out;
                continue;
            }
            fprintf(stderr, "can_latency: write to %s: %s\n", o->tx_if, n < 0 ? strerror(errno) : "short");
            goto out;
        }
        store(&r->sent, i + 1);
    }
out:
    r->done_at = now(CLOCK_MONOTONIC);
    __atomic_store_n(&r->sender_done, true, __ATOMIC_RELEASE);
}

static int cmp_double(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

// Nearest rank: the value at or below which fraction q of them lie.
static double quantile(double *v, unsigned long n, double q) {
    if (!n) return -1;
    qsort(v, n, sizeof(*v), cmp_double);
    unsigned long k = (unsigned long)(q * (double)n + 0.999999);
    if (k < 1) k = 1;
    if (k > n) k = n;
    return v[k - 1];
}

int main(int argc, char **argv) {
    struct options o;
    parse_options(argc, argv, &o);

    struct can_filter filter = {.can_id = o.id, .can_mask = CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_SFF_MASK};
    struct run r = {.opt = &o};
    r.tx = can_socket(o.tx_if, NULL);
    r.rx = can_socket(o.rx_if, &filter);
    if (r.tx < 0 || r.rx < 0) return 1;
    int zero = 0, one = 1, big = 4 << 20;
    // The smallest send buffer: a blocking write waits for the driver.
    setsockopt(r.tx, SOL_SOCKET, SO_SNDBUF, &zero, sizeof(zero));
    if (setsockopt(r.rx, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big)) < 0)
        setsockopt(r.rx, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    if (setsockopt(r.rx, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof(one)) < 0 ||
        setsockopt(r.rx, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof(one)) < 0) {
        perror("can_latency: SO_TIMESTAMPNS/SO_RXQ_OVFL");
        return 1;
    }

    r.sent_at = calloc(o.frames, sizeof(*r.sent_at));
    r.seen = calloc(o.frames, 1);
    r.stamp_us = calloc(o.frames, sizeof(double));
    r.user_us = calloc(o.frames, sizeof(double));
    if (!r.sent_at || !r.seen || !r.stamp_us || !r.user_us) {
        fprintf(stderr, "can_latency: out of memory\n");
        return 1;
    }

    long hz = sysconf(_SC_CLK_TCK), cpus = sysconf(_SC_NPROCESSORS_ONLN);
    unsigned long long tick_busy0, tick_busy1;
    unsigned long long idle0 = cpu_idle_ticks(&tick_busy0);
    struct timespec wall0 = now(CLOCK_MONOTONIC), tool0 = now(CLOCK_PROCESS_CPUTIME_ID);
    long long pid0 = o.pid > 0 ? process_ticks(o.pid) : -1, pidns0 = o.pid > 0 ? process_run_ns(o.pid) : -1;
    pthread_t th;
    if (pthread_create(&th, NULL, receiver, &r)) {
        fprintf(stderr, "can_latency: no receiver thread\n");
        return 1;
    }
    sender(&r);
    pthread_join(th, NULL);
    unsigned long long idle1 = cpu_idle_ticks(&tick_busy1);
    struct timespec wall1 = now(CLOCK_MONOTONIC), tool1 = now(CLOCK_PROCESS_CPUTIME_ID);
    long long pid1 = o.pid > 0 ? process_ticks(o.pid) : -1, pidns1 = o.pid > 0 ? process_run_ns(o.pid) : -1;

    unsigned long got = r.received;
    double secs = got ? ts_diff_us(&r.last_rx, &r.first_tx) / 1e6 : 0;
    double busy_us = ts_diff_us(&wall1, &wall0) * (double)cpus - (double)(idle1 - idle0) * 1e6 / (double)hz;
    if (busy_us < 0) busy_us = 0;
    long long pidt = (pid0 >= 0 && pid1 >= 0) ? pid1 - pid0 : -1;
    double pid_run_us = (pidns0 >= 0 && pidns1 >= 0) ? (double)(pidns1 - pidns0) / 1e3 : -1;
    double per = got ? 1.0 / (double)got : 0;
    printf("sent=%lu received=%lu lost=%lu dup=%lu out_of_order=%lu enobufs=%lu rx_drops=%" PRIu32
           " seconds=%.3f frames_per_s=%.1f cpus=%ld busy_us=%.0f tick_busy=%llu tool_us=%.0f pid_ticks=%lld"
           " pid_run_us=%.0f hz=%ld busy_us_per_frame=%.1f tool_us_per_frame=%.1f pid_us_per_frame=%.1f"
           " pid_run_us_per_frame=%.1f",
           r.sent, got, r.sent - got, r.dup, r.out_of_order, r.enobufs, r.rx_drops, secs,
           secs > 0 ? (double)got / secs : 0, cpus, busy_us, tick_busy1 - tick_busy0,
           ts_diff_us(&tool1, &tool0), pidt, pid_run_us, hz, busy_us * per, ts_diff_us(&tool1, &tool0) * per,
           pidt >= 0 ? (double)pidt * 1e6 / (double)hz * per : -1, pid_run_us >= 0 ? pid_run_us * per : -1);
    unsigned long ns = r.n_stamp, nu = r.n_user;
    printf(" stamp_median_us=%.1f stamp_p99_us=%.1f user_median_us=%.1f user_p99_us=%.1f\n",
           quantile(r.stamp_us, ns, 0.5), quantile(r.stamp_us, ns, 0.99), quantile(r.user_us, nu, 0.5),
           quantile(r.user_us, nu, 0.99));
    return got ? 0 : 1;
}
