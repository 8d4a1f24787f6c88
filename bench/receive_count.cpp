// SPDX-License-Identifier: MIT
// bench_receive_count IFACE [RCVBUF]: the receiving end of the gateway's
// benchmark. Counts the remote node's numbered frames (identifier 0x3A5,
// data bytes 0..7 the frame number, little-endian) arriving on IFACE until
// SIGINT or SIGTERM, and then reports what it got and what its socket
// dropped:
//
//   frames=N first=A last=B missing=M out-of-order=R drops=D
//
// missing: numbers skipped between A and B; out-of-order: frames whose
// number was not above the one before; drops: frames the kernel did not
// queue for the socket, its receive buffer full (SO_RXQ_OVFL as last
// reported, or the socket's final drop count, whichever is higher: the
// count rides on the next frame queued, so drops at the very end would not
// be reported otherwise). RCVBUF sets the receive buffer (SO_RCVBUFFORCE,
// needs CAP_NET_ADMIN; default the system's). "ready" on standard output
// once the socket is bound.
#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr canid_t kRemoteNodeId = 0x3A5;
volatile std::sig_atomic_t g_stop = 0;
void on_stop(int /*sig*/) { g_stop = 1; }

struct Tally {
    std::uint64_t frames = 0, first = 0, last = 0, missing = 0, out_of_order = 0;
    std::uint32_t overflow = 0;  // SO_RXQ_OVFL as last reported

    void count(const can_frame &f) {
        std::uint64_t n = 0;
        for (int i = 7; i >= 0; --i) n = (n << 8) | f.data[i];
        if (frames == 0) first = n;
        else if (n > last) missing += n - last - 1;
        else ++out_of_order;
        if (frames == 0 || n > last) last = n;
        ++frames;
    }
};

// Reads what is queued now (waiting up to timeout_ms for the first frame);
// false when nothing came.
bool read_some(int sock, Tally &t, int timeout_ms) {
    pollfd pfd{sock, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0) return false;
    for (;;) {
        can_frame frame{};
        iovec iov{&frame, sizeof frame};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint32_t))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(sock, &msg, MSG_DONTWAIT);
        if (n < 0) return true;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
                std::memcpy(&t.overflow, CMSG_DATA(c), sizeof t.overflow);
        if (n == static_cast<ssize_t>(sizeof frame) && (frame.can_id & CAN_EFF_FLAG) == 0 &&
            frame.can_dlc == 8)
            t.count(frame);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3 || std::strlen(argv[1]) >= IFNAMSIZ) {
        std::fprintf(stderr, "usage: bench_receive_count IFACE [RCVBUF]\n");
        return 2;
    }
    const int sock = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (sock < 0) {
        std::perror("bench_receive_count: socket");
        return 1;
    }
    const can_filter filter{kRemoteNodeId, CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG};
    const int on = 1;
    if (setsockopt(sock, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter) < 0 ||
        setsockopt(sock, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) < 0) {
        std::perror("bench_receive_count: setsockopt");
        return 1;
    }
    if (argc == 3) {
        const int size = std::atoi(argv[2]);
        if (size <= 0 || setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0) {
            std::perror("bench_receive_count: SO_RCVBUFFORCE");
            return 1;
        }
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(if_nametoindex(argv[1]));
    if (addr.can_ifindex == 0 || bind(sock, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0) {
        std::perror("bench_receive_count: bind");
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::printf("ready\n");
    std::fflush(stdout);

    Tally t;
    while (!g_stop) read_some(sock, t, 100);
    while (read_some(sock, t, 0)) {}
    std::uint32_t meminfo[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof meminfo;
    std::uint32_t drops = t.overflow;
    if (getsockopt(sock, SOL_SOCKET, SO_MEMINFO, meminfo, &len) == 0 &&
        len > SK_MEMINFO_DROPS * sizeof(std::uint32_t) && meminfo[SK_MEMINFO_DROPS] > drops)
        drops = meminfo[SK_MEMINFO_DROPS];
    std::printf("frames=%llu first=%llu last=%llu missing=%llu out-of-order=%llu drops=%u\n",
                static_cast<unsigned long long>(t.frames), static_cast<unsigned long long>(t.first),
                static_cast<unsigned long long>(t.last), static_cast<unsigned long long>(t.missing),
                static_cast<unsigned long long>(t.out_of_order), drops);
    close(sock);
    return 0;
}
