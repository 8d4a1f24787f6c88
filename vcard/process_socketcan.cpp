// SPDX-License-Identifier: MIT
// process_socketcan.cpp - wires joined to SocketCAN interfaces: the sockets
// (opened and checked at configuration), the frames written to them on the
// request path, and the service thread that reads them.
//
// Acknowledgement: on an interface without IFF_ECHO (vcan) the kernel's CAN
// core loops a frame back to the other sockets as it takes it, so the write
// succeeding is the frame being on that bus. An interface with IFF_ECHO (a
// real adapter's driver) echoes a frame once the adapter has sent it; the
// socket receives its own frames (CAN_RAW_RECV_OWN_MSGS) and the echo, marked
// MSG_CONFIRM, is the acknowledgement. Until it comes the controller's frame
// stays pending (TBS clear) and the wire busy; every kConfirmationWait
// without it counts as one acknowledge error.

#include "process_socketcan.h"

#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "process.h"
#include "vcard_config.h"

namespace vcard::detail {

namespace {

// Frames read from one socket per hold of the lock: a flood on one interface
// does not keep the program's own requests waiting long.
constexpr int kReadBatch = 32;

void wake(int fd) {
    const std::uint64_t one = 1;
    if (fd >= 0) (void)!::write(fd, &one, sizeof one);
}

// A note in the text trace (PCI5C3A_VCARD_TRACE): formatted on the stack,
// written with one write(2). The in-memory trace holds driver requests only.
// "PREFIX wire=N IFACE " and the formatted text in `line`, leaving `room`
// bytes of it unused; its length, or -1.
template <std::size_t N, class... Args>
int compose(char (&line)[N], std::size_t room, const char *prefix, const SocketCanPort &p, const char *fmt,
            Args... args) {
    int n = std::snprintf(line, N, "%s wire=%d %s ", prefix, p.wire_index, p.name);
    if (n < 0) return -1;
    // fmt is always one of this file's literals; without arguments it goes
    // through "%s", so a hardened build's format check has nothing to say.
    int m = 0;
    if constexpr (sizeof...(Args) == 0) m = std::snprintf(line + n, N - std::size_t(n), "%s", fmt);
    else m = std::snprintf(line + n, N - std::size_t(n), fmt, args...);
    if (m > 0) n = std::min<int>(n + m, int(N - room));
    return n;
}

template <class... Args>
void note(const State &s, const SocketCanPort &p, const char *fmt, Args... args) {
    if (!s.trace.file_on()) return;
    char line[kMaxTraceLine];
    const int n = compose(line, 1, "vcard:", p, fmt, args...);
    if (n >= 0) s.trace.print_line(line, std::size_t(n));
}

// The name of an errno value ("ENETDOWN"), for notes and messages.
const char *error_name(int error) {
    const char *name = strerrorname_np(error);
    return name != nullptr ? name : "?";
}

// A line on standard error, "virtual card: wire=N IFACE ...", for what
// leaves a wire without its interface (or without part of it): the program
// goes on, its user learns why frames stopped. One write(2) from the stack:
// the child after fork says it too, where stdio's lock may be held forever.
template <class... Args>
void say(const SocketCanPort &p, const char *fmt, Args... args) {
    char line[kMaxTraceLine];
    int n = compose(line, 2, "virtual card:", p, fmt, args...);
    if (n < 0) return;
    line[n++] = '\n';
    const int saved_errno = errno;
    (void)!::write(STDERR_FILENO, line, std::size_t(n));
    errno = saved_errno;
}

// Both: the trace (when on) and standard error.
template <class... Args>
void report(const State &s, const SocketCanPort &p, const char *fmt, Args... args) {
    note(s, p, fmt, args...);
    say(p, fmt, args...);
}

// "id=0x.. len=N data=HEX" of a frame from a socket, for notes.
void describe(const canfd_frame &f, char *out, std::size_t size) {
    int n = std::snprintf(out, size, "id=0x%X len=%u data=", f.can_id, unsigned(f.len));
    const unsigned shown = std::min<unsigned>(f.len, CANFD_MAX_DLEN);
    if (shown == 0 && n > 0 && std::size_t(n) + 1 < size) out[n++] = '-', out[n] = '\0';
    for (unsigned i = 0; i < shown && n > 0 && std::size_t(n) + 3 < size; ++i)
        n += std::snprintf(out + n, size - std::size_t(n), "%02x", f.data[i]);
}

// A raw CAN socket bound to ifindex that sees error frames and CAN FD frames
// (to trace and ignore them) and, when the interface reports transmissions,
// its own frames. Without its own frames the echoes that acknowledge them
// never come: no socket then. Only system calls and no allocation: the
// child after fork calls this.
int open_bound_socket(unsigned ifindex, bool own_frames, SocketTrouble *trouble) {
    *trouble = {};
    auto give_up = [trouble](int fd, const char *call) {
        trouble->call = call;
        trouble->error = errno;
        if (fd >= 0) next_close(fd);
        errno = trouble->error;
        return -1;
    };
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) return give_up(fd, "socket");
    const int on = 1;
    if (own_frames && setsockopt(fd, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &on, sizeof on) != 0)
        return give_up(fd, "setsockopt CAN_RAW_RECV_OWN_MSGS");
    const can_err_mask_t errors = CAN_ERR_MASK;
    if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof errors) != 0)
        *trouble = {"setsockopt CAN_RAW_ERR_FILTER", errno};
    // Refused only by a kernel without CAN FD, on whose interfaces no CAN FD
    // frame can come.
    if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0 && trouble->call == nullptr)
        *trouble = {"setsockopt CAN_RAW_FD_FRAMES", errno};
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = int(ifindex);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return give_up(fd, "bind");
    return fd;
}

// A socket option refused (open_bound_socket), in the trace and on standard
// error: the frames that option would let in are not seen, so not traced.
void option_refused(const State &s, const SocketCanPort &p, const SocketTrouble &t) {
    if (t.call == nullptr) return;
    const char *unseen = std::strstr(t.call, "ERR_FILTER") != nullptr ? "error frames" : "CAN FD frames";
    report(s, p, "%s failed (%s): %s from the interface go untraced", t.call, error_name(t.error), unseen);
}

// An error the kernel reported on a wire's socket (poll: POLLERR), read and
// so cleared: until then poll reports it again at once. ENETDOWN, the
// interface went down (also bound while down), passes: its frames come again
// once it is up. With the interface gone (ENODEV) the kernel has unbound the
// socket: false, the socket is of no more use.
bool socket_error(const State &s, const SocketCanPort &p) {
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error == 0) return true;
    if (error == ENETDOWN) {
        note(s, p, "socket error (%s): the interface is down", error_name(error));
        return true;
    }
    if (error == ENODEV) {
        report(s, p, "socket error (%s): the interface is gone, frames from it are no longer received",
               error_name(error));
        return false;
    }
    report(s, p, "socket error (%s)", error_name(error));
    return true;
}

// ---------------------------------------------------------------------------
// Frames from a socket

void received(State &s, SocketCanPort &p, const canfd_frame &cf, std::size_t bytes, int flags,
              PendingSignals &raise) {
    char text[96];
    if (bytes == CANFD_MTU) {
        describe(cf, text, sizeof text);
        note(s, p, "CAN FD frame ignored: %s", text);
        return;
    }
    if (bytes != CAN_MTU) return;
    if (flags & MSG_CONFIRM) {
        // The echo of a frame written here: sent on the interface's bus.
        ++p.echoed;
        if (p.echoed >= p.written && p.wire->awaiting_confirmation()) {
            p.wire->external_confirmed();
            service_interrupts(s, raise);
        }
        return;
    }
    if (cf.can_id & CAN_ERR_FLAG) {
        describe(cf, text, sizeof text);
        note(s, p, "error frame ignored: %s", text);
        return;
    }
    Frame f;
    f.extended = (cf.can_id & CAN_EFF_FLAG) != 0;
    f.rtr = (cf.can_id & CAN_RTR_FLAG) != 0;
    f.id = cf.can_id & (f.extended ? CAN_EFF_MASK : CAN_SFF_MASK);
    const auto &classic = reinterpret_cast<const can_frame &>(cf);
    f.len = std::min<std::uint8_t>(classic.len, kMaxDataBytes);
    // A length code 9..15 travels beside a length of 8.
    if (f.len == kMaxDataBytes && classic.len8_dlc > kMaxDataBytes && classic.len8_dlc <= kMaxDlc)
        f.len = classic.len8_dlc;
    std::copy_n(classic.data, kMaxDataBytes, f.data.begin());
    p.wire->external_receive(f, p.bit_time);
    // One by one into the driver's queue: the controller's FIFO holds only
    // a few frames.
    service_interrupts(s, raise);
}

// ---------------------------------------------------------------------------
// The service thread

void serve(State *s, SocketCanLinks *links) {
    // Inherited already from the creator, which holds the lock; kept explicit
    // because no application signal handler may ever run on this thread.
    block_all_signals();

    const std::size_t n = links->ports.size();
    std::array<pollfd, kMaxPorts + 1> fds{};
    for (std::size_t i = 0; i < n; ++i) fds[i] = {links->ports[i]->fd, POLLIN, 0};
    fds[n] = {links->wake_fd, POLLIN, 0};
    int timeout_ms = -1;
    for (;;) {
        for (std::size_t i = 0; i <= n; ++i) fds[i].revents = 0;
        if (poll(fds.data(), n + 1, timeout_ms) < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            Locked lock(*s, true);
            if (links->stop) return;
            for (std::size_t i = 0; i < n; ++i)
                report(*s, *links->ports[i],
                       "poll failed (%s): frames from the interface are no longer received",
                       error_name(error));
            return;
        }
        if (fds[n].revents & POLLIN) {
            std::uint64_t count;
            (void)!::read(links->wake_fd, &count, sizeof count);
        }

        Locked lock(*s, true);  // the driver's signals go out as it is released
        if (links->stop) return;
        for (std::size_t i = 0; i < n; ++i) {
            SocketCanPort &p = *links->ports[i];
            // A socket of no more use is left out of the poll (a negative fd).
            if (fds[i].revents & POLLNVAL) {
                report(*s, p, "socket closed: frames from the interface are no longer received");
                fds[i].fd = -1;
                continue;
            }
            if ((fds[i].revents & POLLERR) && !socket_error(*s, p)) {
                fds[i].fd = -1;
                continue;
            }
            if (!(fds[i].revents & POLLIN)) continue;
            for (int k = 0; k < kReadBatch; ++k) {
                canfd_frame cf{};
                iovec iov{&cf, sizeof cf};
                msghdr msg{};
                msg.msg_iov = &iov;
                msg.msg_iovlen = 1;
                const ssize_t got = recvmsg(p.fd, &msg, MSG_DONTWAIT);
                if (got < 0) break;
                received(*s, p, cf, std::size_t(got), msg.msg_flags, lock.signals());
            }
        }

        // Frames written to interfaces that report transmissions: those not
        // reported in time count an acknowledge error each wait.
        const auto now = std::chrono::steady_clock::now();
        timeout_ms = -1;
        for (std::size_t i = 0; i < n; ++i) {
            SocketCanPort &p = *links->ports[i];
            if (!p.wire->awaiting_confirmation()) continue;
            if (now >= p.deadline) {
                note(*s, p, "no transmission reported within %d ms: acknowledge error",
                     int(kConfirmationWait.count()));
                p.wire->external_unconfirmed();
                service_interrupts(*s, lock.signals());
                p.deadline = now + kConfirmationWait;
                if (!p.wire->awaiting_confirmation()) continue;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(p.deadline - now).count();
            timeout_ms = timeout_ms < 0 ? int(left) : std::min(timeout_ms, int(left));
        }
    }
}

void start_thread(State &s, SocketCanLinks &links) {
    // Created with every signal blocked (the caller holds the lock), which
    // the thread inherits.
    try {
        links.thread = std::make_unique<std::thread>(serve, &s, &links);
    } catch (const std::system_error &e) {
        // No thread reads the sockets: the wires still write to them.
        links.thread.reset();
        for (const auto &p : links.ports)
            report(s, *p, "no thread to read the interface (%s): frames from it are not received",
                   error_name(e.code().value()));
    }
}

// IFF_ECHO, which SIOCGIFFLAGS cannot show (its flags are 16 bits): the
// driver echoes each frame once sent. From sysfs; without it, no echo.
bool reports_transmissions(const std::string &interface) {
    constexpr unsigned kIffEcho = 1u << 18;  // linux/if.h
    const std::string path = "/sys/class/net/" + interface + "/flags";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[32] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    next_close(fd);
    return n > 0 && (std::strtoul(text, nullptr, 16) & kIffEcho) != 0;
}

std::string failure(const std::string &shown, const std::string &why, const char *expected) {
    return "virtual card: PCI5C3A_VCARD_SOCKETCAN=" + quote(shown) + " cannot be used: " + why +
           "; expected " + expected;
}

}  // namespace

// ---------------------------------------------------------------------------
// A controller's frame onto the interface (request path, under the lock)

ExternalBus::Sent SocketCanPort::send(const Frame &frame, BitTime frame_bit_time) {
    // At another bit rate than the interface's bus the frame is noise there.
    if (bit_time && *bit_time != frame_bit_time) {
        note(*state, *this, "frame not written: sent at another bit rate than the interface's");
        return Sent::failed;
    }
    can_frame cf{};
    cf.can_id = frame.id | (frame.extended ? CAN_EFF_FLAG : 0u) | (frame.rtr ? CAN_RTR_FLAG : 0u);
    cf.len = std::uint8_t(std::min<unsigned>(frame.len, kMaxDataBytes));
    if (frame.len > kMaxDataBytes) cf.len8_dlc = frame.len;
    std::copy_n(frame.data.begin(), data_bytes(frame), cf.data);
    if (::write(fd, &cf, sizeof cf) != ssize_t(sizeof cf)) {
        const int error = errno;
        note(*state, *this, "write failed (%s): not acknowledged", error_name(error));
        errno = error;
        return Sent::failed;
    }
    ++written;
    if (!reports_sent) return Sent::accepted;
    deadline = std::chrono::steady_clock::now() + kConfirmationWait;
    wake(wake_fd);
    return Sent::pending;
}

// ---------------------------------------------------------------------------
// Configuration

std::string socketcan_text(const std::vector<SocketCanWire> &wires) {
    std::string text;
    for (std::size_t i = 0; i < wires.size(); ++i) {
        if (i > 0) text += ',';
        text += wires[i].interface;
        if (wires[i].bitrate) text += '@' + std::to_string(*wires[i].bitrate);
    }
    return text;
}

std::unique_ptr<SocketCanLinks> open_socketcan(const Config &cfg, const std::string &shown,
                                               std::string *error) {
    auto links = std::make_unique<SocketCanLinks>();
    auto give_up = [&](const std::string &message) {
        *error = message;
        for (const auto &p : links->ports) next_close(p->fd);
        if (links->wake_fd >= 0) next_close(links->wake_fd);
        return nullptr;
    };
    for (std::size_t i = 0; i < cfg.socketcan.size(); ++i) {
        const SocketCanWire &w = cfg.socketcan[i];
        if (w.interface.empty()) continue;
        const char *name = w.interface.c_str();
        // A socket first: it is what every later question goes through.
        const int probe = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
        if (probe < 0) {
            const int e = errno;
            if (e == EAFNOSUPPORT || e == EPROTONOSUPPORT)
                return give_up(failure(
                    shown,
                    std::string("this kernel has no CAN sockets (socket(AF_CAN): ") + std::strerror(e) + ")",
                    "a kernel with CAN sockets (modules can and can-raw)"));
            return give_up(failure(shown, std::string("socket(AF_CAN): ") + std::strerror(e),
                                   "CAN interfaces this program may open"));
        }
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
        const bool exists = next_ioctl(probe, SIOCGIFINDEX, &ifr) == 0;
        const unsigned ifindex = exists ? unsigned(ifr.ifr_ifindex) : 0;
        const bool is_can =
            exists && next_ioctl(probe, SIOCGIFHWADDR, &ifr) == 0 && ifr.ifr_hwaddr.sa_family == ARPHRD_CAN;
        const bool echo = is_can && reports_transmissions(w.interface);
        next_close(probe);
        if (!exists)
            return give_up(failure(shown, "there is no interface " + w.interface, "existing CAN interfaces"));
        if (!is_can)
            return give_up(
                failure(shown, w.interface + " is not a CAN interface", "existing CAN interfaces"));

        auto p = std::make_unique<SocketCanPort>();
        p->wire_index = int(i);
        p->ifindex = ifindex;
        std::strncpy(p->name, name, sizeof p->name - 1);
        p->reports_sent = echo;
        if (w.bitrate) p->bit_time = kCrystalHz / *w.bitrate;
        p->fd = open_bound_socket(ifindex, echo, &p->trouble);
        if (p->fd < 0 && std::strcmp(p->trouble.call, "bind") == 0)
            return give_up(failure(
                shown,
                "cannot bind a CAN socket to " + w.interface + " (" + std::strerror(p->trouble.error) + ")",
                "existing CAN interfaces"));
        if (p->fd < 0)
            return give_up(failure(shown,
                                   "no CAN socket for " + w.interface + " (" + p->trouble.call + ": " +
                                       std::strerror(p->trouble.error) + ")",
                                   "CAN interfaces this program may open"));
        links->ports.push_back(std::move(p));
    }
    if (links->ports.empty()) return nullptr;
    links->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (links->wake_fd < 0)
        return give_up(failure(shown, std::string("eventfd: ") + std::strerror(errno), "-"));
    return links;
}

void start_socketcan(State &s) {
    SocketCanLinks *links = s.socketcan.get();
    if (links == nullptr || !s.hardware) return;
    const auto &wires = s.hardware->wires();
    for (const auto &p : links->ports) {
        p->state = &s;
        p->wake_fd = links->wake_fd;
        p->wire = wires.at(std::size_t(p->wire_index)).get();
        p->wire->set_external(p.get());
        option_refused(s, *p, p->trouble);
    }
    start_thread(s, *links);
}

void stop_socketcan(SocketCanLinks &links) {
    links.stop = true;
    wake(links.wake_fd);
}

void close_socketcan(std::unique_ptr<SocketCanLinks> links) {
    if (!links) return;
    if (links->thread && links->thread->joinable()) links->thread->join();
    for (const auto &p : links->ports)
        if (p->fd >= 0) next_close(p->fd);
    if (links->wake_fd >= 0) next_close(links->wake_fd);
}

void socketcan_after_fork_in_child(State &s) {
    SocketCanLinks *links = s.socketcan.get();
    if (links == nullptr) return;
    // A thread of the parent: neither joined nor destroyed here.
    (void)links->thread.release();
    if (links->wake_fd >= 0) next_close(links->wake_fd);
    links->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    for (const auto &p : links->ports) {
        next_close(p->fd);
        p->fd = open_bound_socket(p->ifindex, p->reports_sent, &p->trouble);
        p->written = p->echoed = 0;
        p->wake_fd = links->wake_fd;
        if (p->fd < 0)
            report(s, *p, "no socket of its own after fork (%s: %s): the wire is local in this process",
                   p->trouble.call, error_name(p->trouble.error));
        else option_refused(s, *p, p->trouble);
    }
    // Without its socket a wire stays local.
    std::erase_if(links->ports, [](const std::unique_ptr<SocketCanPort> &p) {
        if (p->fd >= 0) return false;
        if (p->wire) p->wire->set_external(nullptr);
        return true;
    });
    if (links->wake_fd >= 0 && !links->ports.empty() && !links->stop) start_thread(s, *links);
}

}  // namespace vcard::detail
