// SPDX-License-Identifier: MIT
#include "interface.h"

#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace gateway {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a frame for a busy interface (full transmit queue) may wait.
constexpr milliseconds kInterfaceWait{20};

std::string errno_text(int err) { return std::strerror(err); }

}  // namespace

int open_interface(const std::string &iface, std::string &error) {
    const int sock = socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
    if (sock < 0) {
        const int err = errno;
        error = err == EAFNOSUPPORT
                    ? "this kernel has no CAN sockets (" + errno_text(err) + "; load module can-raw)"
                    : "cannot open a CAN socket: " + errno_text(err);
        return -1;
    }
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, iface.c_str(), iface.size() + 1);  // checked shorter than IFNAMSIZ
    const auto fail = [&](std::string message) {
        error = std::move(message);
        close(sock);
        return -1;
    };
    if (ioctl(sock, SIOCGIFINDEX, &ifr) < 0) {
        const int err = errno;
        return fail(err == ENODEV ? "interface " + iface + " does not exist"
                                  : "interface " + iface + ": " + errno_text(err));
    }
    const int index = ifr.ifr_ifindex;
    if (ioctl(sock, SIOCGIFHWADDR, &ifr) < 0 || ifr.ifr_hwaddr.sa_family != ARPHRD_CAN) {
        return fail("interface " + iface + " is not a CAN interface");
    }
    if (ioctl(sock, SIOCGIFFLAGS, &ifr) < 0) return fail("interface " + iface + ": " + errno_text(errno));
    if ((ifr.ifr_flags & IFF_UP) == 0) {
        return fail("interface " + iface + " is down (ip link set " + iface + " up)");
    }
    const int on = 1;
    const can_err_mask_t all_errors = CAN_ERR_MASK;
    // SO_RXQ_OVFL: each read tells how many frames the kernel dropped for
    // a full receive buffer, so that those are counted too.
    if (setsockopt(sock, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) < 0 ||
        setsockopt(sock, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &all_errors, sizeof all_errors) < 0 ||
        setsockopt(sock, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) < 0) {
        return fail("interface " + iface + ": cannot set socket options: " + errno_text(errno));
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = index;
    if (bind(sock, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0) {
        return fail("interface " + iface + ": cannot bind: " + errno_text(errno));
    }
    return sock;
}

bool write_frame(int sock, const can_frame &frame, bool &gone) {
    const auto deadline = Clock::now() + kInterfaceWait;
    for (;;) {
        if (write(sock, &frame, sizeof frame) == static_cast<ssize_t>(sizeof frame)) return true;
        const int err = errno;
        if (err == ENODEV || err == ENXIO) gone = true;
        if (err != EAGAIN && err != ENOBUFS && err != EINTR) return false;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd pfd{sock, POLLOUT, 0};
        poll(&pfd, 1, static_cast<int>(left));
    }
}

std::size_t write_frames(int sock, const can_frame *frames, std::size_t count, bool &gone) {
    constexpr std::size_t kMost = 32;  // frames per sendmmsg
    std::size_t written = 0;
    std::size_t i = 0;
    while (i < count) {
        const std::size_t batch = std::min(count - i, kMost);
        std::array<iovec, kMost> iov{};
        std::array<mmsghdr, kMost> msgs{};
        for (std::size_t k = 0; k < batch; ++k) {
            // sendmmsg does not write through the pointer.
            iov[k] = {const_cast<can_frame *>(&frames[i + k]), sizeof(can_frame)};
            msgs[k].msg_hdr.msg_iov = &iov[k];
            msgs[k].msg_hdr.msg_iovlen = 1;
        }
        const int sent = sendmmsg(sock, msgs.data(), static_cast<unsigned>(batch), 0);
        if (sent > 0) {
            // A raw CAN socket takes a frame whole or not at all.
            written += static_cast<std::size_t>(sent);
            i += static_cast<std::size_t>(sent);
            continue;
        }
        // The first frame was refused: a full transmit queue gets its wait,
        // and anything else is lost, as for a single frame.
        if (write_frame(sock, frames[i], gone)) ++written;
        ++i;
    }
    return written;
}

ssize_t read_frame(Interface &iface, canfd_frame &frame, int &err) {
    iovec iov{&frame, sizeof frame};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint32_t))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(iface.sock, &msg, 0);
    if (n < 0) {
        err = errno;
        return n;
    }
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            std::uint32_t drops = 0;
            std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
            iface.counters.overrun += drops - iface.kernel_drops;  // wraps like the kernel's
            iface.kernel_drops = drops;
        }
    }
    return n;
}

void close_interface(Interface &iface) {
    if (iface.sock >= 0) close(iface.sock);
    iface.sock = -1;
}

}  // namespace gateway
