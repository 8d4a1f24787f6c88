// SPDX-License-Identifier: MIT
// bench_driver: frames from port 0 to port 1 of one card (one cable)
// through the driver, three ways, each printed as one line of key=value
// pairs for scripts:
//
//   raw_send  REQ_SEND as fast as the transmit buffer frees (SR_TBS polled
//             with REQ_REG_READ), the receiver draining with REQ_RECEIVE
//   lib_send  the same count through CanSendMsg/CanRcvMsg (the library
//             waits 1 ms before each frame)
//   latency   from the call of REQ_SEND to the receive signal's handler
//             (62, port 1), median and 99th percentile; in_request counts
//             the handlers that ran before REQ_SEND returned (the virtual
//             card and QEMU receive during the transmit request itself)
//   summary   raw_over_lib: raw_send's rate over lib_send's, same run
//
//     bench_driver [--frames N] [--card C] [--no-lib]
//
// lost= counts frames sent and never received; it must be 0 (the receiver
// keeps its queue below the driver's 1024), else the exit status is 1.
// Runs on the virtual card (with-virtual-card), the kernel driver in a QEMU
// guest and a real card.
#include <signal.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <vector>

#include "driver_device.h"

namespace {

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

CAN_PACKET frame(long i) {
    CAN_PACKET p{};
    p.id = 0x100;  // identifier bits 2-0 zero: passes QEMU's single filter too
    p.len = 8;
    for (int b = 0; b < 4; ++b) p.data[b] = static_cast<unsigned char>(i >> (8 * b));
    return p;
}

long sequence(const CAN_PACKET &p) {
    long v = 0;
    for (int b = 3; b >= 0; --b) v = (v << 8) | p.data[b];
    return v;
}

struct Run {
    long sent = 0, received = 0, disordered = 0;
    double seconds = 0, cpu = 0;
};

void print(const char *name, const Run &r) {
    const double rate = r.seconds > 0 ? double(r.sent) / r.seconds : 0;
    const double cpu = r.sent > 0 ? r.cpu / double(r.sent) * 1e6 : 0;
    std::printf(
        "%s frames=%ld seconds=%.6f frames_per_s=%.1f cpu_per_frame_us=%.3f lost=%ld disordered=%ld\n", name,
        r.sent, r.seconds, rate, cpu, r.sent - r.received, r.disordered);
}

// Takes what port 1's queue holds; checks the order.
void take(const drv::Card &c, Run &r) {
    CAN_PACKET p;
    while (c.receive(c.handle(1), &p).ok()) {
        if (sequence(p) != r.received) ++r.disordered;
        ++r.received;
    }
}

void finish(const drv::Card &c, Run &r) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (r.received < r.sent && std::chrono::steady_clock::now() < end) {
        take(c, r);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

Run rawSend(const drv::Card &c, long frames) {
    Run r;
    const double t0 = now(), c0 = cpuSeconds();
    for (long i = 0; i < frames; ++i) {
        if (!c.waitTransmitBuffer(0)) break;
        if (!c.send(c.handle(0), frame(i)).ok()) break;
        ++r.sent;
        take(c, r);
    }
    finish(c, r);
    r.seconds = now() - t0;
    r.cpu = cpuSeconds() - c0;
    return r;
}

Run librarySend(int card, long frames) {
    Run r;
    const int h0 = CanOpenDriver(card, 0), h1 = CanOpenDriver(card, 1);
    if (h0 < 0 || h1 < 0) return r;
    const double t0 = now(), c0 = cpuSeconds();
    CAN_PACKET p;
    auto drain = [&] {
        while (CanGetRcvCnt(h1) > 0 && CanRcvMsg(h1, &p) == 0) {
            if (sequence(p) != r.received) ++r.disordered;
            ++r.received;
        }
    };
    for (long i = 0; i < frames; ++i) {
        const CAN_PACKET f = frame(i);
        if (CanSendMsg(h0, &f) != 0) break;
        ++r.sent;
        drain();
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (r.received < r.sent && std::chrono::steady_clock::now() < end) drain();
    r.seconds = now() - t0;
    r.cpu = cpuSeconds() - c0;
    CanCloseDriver(h0);
    CanCloseDriver(h1);
    return r;
}

// Handler times, one per signal, into a buffer sized before the run.
std::vector<double> g_arrivals;
std::atomic<long> g_arrived{0};

void onReceive(int) {
    const long i = g_arrived.load();
    if (i < static_cast<long>(g_arrivals.size())) g_arrivals[static_cast<std::size_t>(i)] = now();
    g_arrived = i + 1;
}

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(std::lround(q * double(v.size() - 1)))];
}

bool latency(const drv::Card &c, long frames) {
    g_arrivals.assign(static_cast<std::size_t>(frames), 0);
    g_arrived = 0;
    struct sigaction sa {};
    sa.sa_handler = onReceive;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(PCI5C3A_SIG_PORT1, &sa, nullptr);
    if (fcntl(c.fd(), F_SETOWN, getpid()) != 0 || !c.events(1, 1).ok()) return false;

    std::vector<double> lat;
    long inRequest = 0, lost = 0;
    Run r;
    for (long i = 0; i < frames; ++i) {
        if (!c.waitTransmitBuffer(0)) break;
        const double before = now();
        if (!c.send(c.handle(0), frame(i)).ok()) break;
        const double after = now();
        ++r.sent;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (g_arrived.load() <= i && std::chrono::steady_clock::now() < end) {}
        if (g_arrived.load() <= i) {
            ++lost;
            break;
        }
        const double at = g_arrivals[static_cast<std::size_t>(i)];
        lat.push_back((at - before) * 1e6);
        if (at < after) ++inRequest;
        take(c, r);
    }
    finish(c, r);
    c.events(1, 0);
    sa.sa_handler = SIG_IGN;
    sigaction(PCI5C3A_SIG_PORT1, &sa, nullptr);
    std::printf("latency frames=%zu median_us=%.3f p99_us=%.3f max_us=%.3f in_request=%ld lost=%ld\n",
                lat.size(), percentile(lat, 0.5), percentile(lat, 0.99),
                lat.empty() ? 0.0 : *std::max_element(lat.begin(), lat.end()), inRequest,
                lost + (r.sent - r.received));
    return lost == 0 && r.sent == r.received && r.sent == frames;
}

int usage() {
    std::fprintf(stderr, "usage: bench_driver [--frames N (1..1000000)] [--card C (0..%d)] [--no-lib]\n",
                 PCI5C3A_MAX_CARDS - 1);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    long frames = 10000;
    int cardNumber = 0;
    bool withLibrary = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-lib") {
            withLibrary = false;
            continue;
        }
        if (i + 1 >= argc) return usage();
        char *end = nullptr;
        const char *value = argv[++i];
        if (arg == "--frames") frames = std::strtol(value, &end, 10);
        else if (arg == "--card") cardNumber = static_cast<int>(std::strtol(value, &end, 10));
        else return usage();
        if (end == value || *end != '\0') return usage();
    }
    if (frames < 1 || frames > 1000000 || cardNumber < 0 || cardNumber >= PCI5C3A_MAX_CARDS) return usage();

    bool ok = true;
    Run raw, lib;
    {
        const drv::Card card(cardNumber);
        if (!card.ok()) {
            std::fprintf(stderr, "bench_driver: card %d: %s\n", cardNumber, std::strerror(card.openError()));
            return 2;
        }
        for (int port : {0, 1})
            if (!card.events(port, 0).ok() || !card.configure(port, PCI5C3A_ID_STANDARD)) {
                std::fprintf(stderr, "bench_driver: cannot configure port %d of card %d\n", port, cardNumber);
                return 1;
            }
        for (int port : {0, 1}) card.drain(card.handle(port));
        raw = rawSend(card, frames);
        print("raw_send", raw);
        ok = ok && latency(card, frames);
    }
    if (withLibrary) {
        lib = librarySend(cardNumber, frames);
        print("lib_send", lib);
        const double rawRate = raw.seconds > 0 ? double(raw.sent) / raw.seconds : 0;
        const double libRate = lib.seconds > 0 ? double(lib.sent) / lib.seconds : 0;
        std::printf("summary raw_over_lib=%.2f\n", libRate > 0 ? rawRate / libRate : 0.0);
        ok = ok && lib.sent == frames && lib.received == lib.sent && lib.disordered == 0;
    }
    ok = ok && raw.sent == frames && raw.received == raw.sent && raw.disordered == 0;
    return ok ? 0 : 1;
}
