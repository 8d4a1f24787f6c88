// The gateway's life: interfaces checked, ports opened and configured,
// receive signals and sender threads started, then one poll loop over a
// self-pipe and the CAN sockets until SIGINT or SIGTERM.
//
// Card to interface: the driver raises the port's receive signal (63 for
// port 0, 62 for port 1 of every card); the handler only writes a byte to
// the self-pipe, and the loop drains the ports of that port number.
// Interface to card: the loop reads the socket and queues the frame; a
// thread per port sends it with CanSendMsg, which pauses 1 ms per frame, so
// the loop never waits for the card. Controller state: read at kStatusHz.
//
// The library's tables are unsynchronised. Every call that changes them
// (open, configure, receive events, close) happens while no sender thread
// runs, except the restart of a bus-off port, which takes the port's
// controller lock; while forwarding, the loop and the senders only read them.
#include "gateway.h"

#include <fcntl.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bounded_queue.h"
#include "controller_state.h"
#include "frames.h"
#include "pci_5C3A.h"
#include "pci_5C3A_ioctl.h"
#include "sja1000.h"

namespace gateway {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The status register is read this often per port (the counters only when
// it shows errors); and once a second the ports are drained whether or not
// a receive signal came, in case one was lost (a full signal queue).
constexpr int kStatusHz = 10;
constexpr milliseconds kStatusPeriod{1000 / kStatusHz};
constexpr int kDrainEvery = kStatusHz;
// Frames taken from one socket or one port per turn of the loop, so that a
// flood on one side cannot starve the other.
constexpr int kBurst = 256;
// How long a frame for a busy interface (full transmit queue) may wait.
constexpr milliseconds kInterfaceWait{20};

// Bytes the signal handlers write to the self-pipe.
constexpr char kWakePort0 = '0';
constexpr char kWakePort1 = '1';
constexpr char kWakeStop = 'T';
constexpr char kWakeCounters = 'U';

int wake_fd = -1;  // write end of the self-pipe, for the handlers

// Async-signal-safe: one write(2), errno kept for the code it interrupted.
void wake(char byte) {
    const int saved = errno;
    [[maybe_unused]] const ssize_t n = write(wake_fd, &byte, 1);
    errno = saved;
}
void on_receive_signal(int sig) { wake(sig == PCI5C3A_SIG_PORT0 ? kWakePort0 : kWakePort1); }
void on_stop_signal(int /*sig*/) { wake(kWakeStop); }
void on_counters_signal(int /*sig*/) { wake(kWakeCounters); }

struct Counters {
    // card -> interface
    std::atomic<std::uint64_t> to_iface{0};
    std::atomic<std::uint64_t> to_iface_lost{0};  // the interface refused them
    std::atomic<std::uint64_t> error_frames{0};   // state changes reported
    // interface -> card
    std::atomic<std::uint64_t> to_card{0};
    std::atomic<std::uint64_t> queue_full{0};
    std::atomic<std::uint64_t> other_kind{0};
    std::atomic<std::uint64_t> can_fd{0};
    std::atomic<std::uint64_t> error_in{0};   // error frames from the interface
    std::atomic<std::uint64_t> malformed{0};  // short reads, length codes > 8
    std::atomic<std::uint64_t> busy{0};       // controller bus-off or its frame stuck
    std::atomic<std::uint64_t> unsent{0};     // still queued at the end
    std::atomic<std::uint64_t> overrun{0};    // the socket's buffer overflowed
};

struct Port {
    explicit Port(const PortSpec &s, bool ext, std::size_t queue_length)
        : spec(s), extended(ext), queue(queue_length) {}

    PortSpec spec;
    bool extended;
    PORT_STRUCT config{};
    int handle = -1;
    int sock = -1;
    bool open = false;
    BoundedQueue<CAN_PACKET> queue;
    std::thread sender;
    std::mutex controller;           // a send (status check + CanSendMsg) or a restart
    std::uint32_t socket_drops = 0;  // the kernel's count, as last read
    ErrorState state = ErrorState::Active;
    Clock::time_point bus_off_since{};
    int warning_limit = 96;
    Counters counters;
};

void say(const std::string &line) { std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str()); }

std::string errno_text(int err) { return std::strerror(err); }

void print_counters(const std::vector<std::unique_ptr<Port>> &ports) {
    for (const auto &p : ports) {
        const Counters &c = p->counters;
        std::fprintf(stderr,
                     "%s: %s card->iface forwarded=%llu lost=%llu error-frames=%llu; iface->card sent=%llu "
                     "dropped: queue-full=%llu other-kind=%llu can-fd=%llu error-frame=%llu malformed=%llu "
                     "busy=%llu unsent=%llu socket-overrun=%llu; state=%s\n",
                     kProgram, p->spec.name().c_str(), static_cast<unsigned long long>(c.to_iface.load()),
                     static_cast<unsigned long long>(c.to_iface_lost.load()),
                     static_cast<unsigned long long>(c.error_frames.load()),
                     static_cast<unsigned long long>(c.to_card.load()),
                     static_cast<unsigned long long>(c.queue_full.load()),
                     static_cast<unsigned long long>(c.other_kind.load()),
                     static_cast<unsigned long long>(c.can_fd.load()),
                     static_cast<unsigned long long>(c.error_in.load()),
                     static_cast<unsigned long long>(c.malformed.load()),
                     static_cast<unsigned long long>(c.busy.load()),
                     static_cast<unsigned long long>(c.unsent.load()),
                     static_cast<unsigned long long>(c.overrun.load()), state_name(p->state));
    }
    std::fflush(stderr);
}

// ---------------------------------------------------------------------------
// Interfaces

// A raw CAN socket bound to the interface, non-blocking, taking CAN FD and
// error frames too so that they can be counted; or a message why not.
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

// Writes one frame; a full transmit queue gets a short wait. False when the
// frame is lost. `gone` is set when the interface no longer exists.
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

// ---------------------------------------------------------------------------
// Ports

PORT_STRUCT config_for(const PortSpec &spec, bool extended) {
    PORT_STRUCT cfg{};
    cfg.mode = extended ? 1 : 0;
    cfg.accCode = 0;
    cfg.accMask = extended ? CAN_EFF_MASK : CAN_SFF_MASK;  // every identifier
    cfg.baudrate = spec.timing.index;
    if (spec.timing.index == kUserTimingIndex) {
        cfg.brp = spec.timing.brp;
        cfg.tseg1 = spec.timing.tseg1;
        cfg.tseg2 = spec.timing.tseg2;
        cfg.sjw = spec.timing.sjw;
    }
    return cfg;
}

bool open_port(Port &port, std::string &error) {
    const std::string what =
        "card " + std::to_string(port.spec.card) + " port " + std::to_string(port.spec.port);
    port.handle = CanOpenDriver(port.spec.card, port.spec.port);
    if (port.handle < 0) {
        error = what + ": cannot open (no card " + std::to_string(port.spec.card) +
                ", or its device /dev/PCI5C3AW" + std::to_string(port.spec.card) + " is not accessible)";
        return false;
    }
    port.open = true;
    port.config = config_for(port.spec, port.extended);
    if (CanConfigPort(port.handle, &port.config) != 0) {
        error = what + ": the configuration was refused";
        return false;
    }
    // Configuring ends by leaving reset mode; a controller still in it
    // neither receives nor sends.
    if ((_5C3A_Read(port.handle, REG_MOD) & MOD_RM) != 0) {
        error = what + ": the controller stays in reset mode";
        return false;
    }
    port.warning_limit = CanGetErrorWarningLimit(port.handle);
    return true;
}

bool start_receive_events(Port &port, std::string &error) {
    const int result = CanGetReceiveEvent(port.handle, on_receive_signal);
    if (result == 0) return true;
    const std::string what =
        "card " + std::to_string(port.spec.card) + " port " + std::to_string(port.spec.port);
    switch (result) {
    case -6: error = what + ": the driver does not signal this process (F_SETOWN refused)"; break;
    case -8: error = what + ": cannot install the receive signal handler"; break;
    case -5: error = what + ": the driver refused receive notification"; break;
    default: error = what + ": receive notification failed (" + std::to_string(result) + ")"; break;
    }
    return false;
}

// The status register, and the error counters when they can matter: with a
// warning limit up to 128 a controller without ES has both counters below
// it, so it is error active and the counters need not be read (an idle
// gateway then makes one driver request per port and reading).
ControllerReading read_controller(const Port &port) {
    PORT_STATUS status{};
    CanGetPortStatus(port.handle, &status);
    ControllerReading reading{status.status, 0, 0};
    if ((status.status & (SR_ES | SR_BS)) != 0 || port.warning_limit > 128 ||
        port.state != ErrorState::Active) {
        reading.rx_errors = static_cast<std::uint8_t>(CanGetRxErrorCount(port.handle));
        reading.tx_errors = static_cast<std::uint8_t>(CanGetTxErrorCount(port.handle));
    }
    return reading;
}

// Longest wait for a frame still in the transmit buffer: three frames of
// the longest kind (about 160 bits) at the port's rate, at least 2 ms.
milliseconds transmit_wait(const PortSpec &spec) {
    const auto ms = (3 * 160 * 1000) / static_cast<long long>(spec.timing.bitrate) + 1;
    return milliseconds{ms < 2 ? 2 : ms};
}

// The sender thread of one port: interface frames to the card, one at a
// time. The driver refuses a frame while the previous one is still in the
// controller's transmit buffer, and CanSendMsg does not report that, so the
// buffer is checked first (only this thread sends on the port, so a
// released buffer stays released until the send).
void sender(Port &port) {
    const milliseconds wait = transmit_wait(port.spec);
    while (auto packet = port.queue.pop()) {
        std::lock_guard lock(port.controller);
        const auto deadline = Clock::now() + wait;
        bool ready = false;
        for (;;) {
            const unsigned status = _5C3A_Read(port.handle, REG_SR);
            if ((status & SR_BS) != 0) break;
            if ((status & SR_TBS) != 0) {
                ready = true;
                break;
            }
            if (Clock::now() >= deadline) break;
            std::this_thread::sleep_for(milliseconds{1});
        }
        if (!ready) {
            ++port.counters.busy;
            continue;
        }
        CanSendMsg(port.handle, &*packet);
        ++port.counters.to_card;
    }
}

// ---------------------------------------------------------------------------
// The loop

class Loop {
public:
    Loop(std::vector<std::unique_ptr<Port>> &ports, int wake_read, unsigned restart_ms)
        : ports_(ports), wake_read_(wake_read), restart_ms_(restart_ms) {}

    // kExitOk on a stop signal, kExitUnusable when an interface went away.
    int run() {
        std::vector<pollfd> fds;
        fds.push_back({wake_read_, POLLIN, 0});
        for (const auto &p : ports_) fds.push_back({p->sock, POLLIN, 0});

        // Frames that arrived before notification was on, and the state the
        // controllers start in.
        drain_ports(true, true);
        auto next_status = Clock::now();
        int ticks = 0;
        while (!stop_ && status_ == kExitOk) {
            const auto now = Clock::now();
            if (now >= next_status) {
                poll_status();
                if (++ticks % kDrainEvery == 0) drain_ports(true, true);
                next_status = now + kStatusPeriod;
            }
            const auto timeout = std::chrono::duration_cast<milliseconds>(next_status - Clock::now()).count();
            const int n = poll(fds.data(), fds.size(), timeout < 0 ? 0 : static_cast<int>(timeout + 1));
            if (n < 0) {
                if (errno == EINTR) continue;
                say("poll: " + errno_text(errno));
                return kExitUnusable;
            }
            if ((fds[0].revents & POLLIN) != 0) read_wakeups();
            for (std::size_t i = 0; i < ports_.size(); ++i) {
                if (fds[i + 1].revents != 0) read_interface(*ports_[i]);
            }
        }
        return status_;
    }

private:
    void read_wakeups() {
        char bytes[64];
        bool port0 = false;
        bool port1 = false;
        ssize_t n;
        while ((n = read(wake_read_, bytes, sizeof bytes)) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                switch (bytes[i]) {
                case kWakePort0: port0 = true; break;
                case kWakePort1: port1 = true; break;
                case kWakeStop: stop_ = true; break;
                case kWakeCounters: print_counters(ports_); break;
                default: break;
                }
            }
        }
        if (port0 || port1) drain_ports(port0, port1);
    }

    // The signal names the port number, not the card: every port of that
    // number is drained.
    void drain_ports(bool port0, bool port1) {
        for (const auto &p : ports_) {
            if ((p->spec.port == 0 && port0) || (p->spec.port == 1 && port1)) drain(*p);
        }
    }

    void drain(Port &port) {
        for (int taken = 0; taken < kBurst;) {
            const int waiting = CanGetRcvCnt(port.handle);
            if (waiting <= 0) return;
            for (int i = 0; i < waiting && taken < kBurst; ++i, ++taken) {
                CAN_PACKET packet{};
                CanRcvMsg(port.handle, &packet);
                forward(port, to_interface(packet, port.extended), port.counters.to_iface);
            }
        }
    }

    void forward(Port &port, const can_frame &frame, std::atomic<std::uint64_t> &counter) {
        bool gone = false;
        if (write_frame(port.sock, frame, gone)) {
            ++counter;
        } else {
            ++port.counters.to_iface_lost;
        }
        if (gone) interface_gone(port);
    }

    void read_interface(Port &port) {
        for (int i = 0; i < kBurst; ++i) {
            canfd_frame frame{};
            iovec iov{&frame, sizeof frame};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint32_t))];
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            const ssize_t n = recvmsg(port.sock, &msg, 0);
            if (n < 0) {
                const int err = errno;
                if (err == ENODEV || err == ENXIO) interface_gone(port);
                // EAGAIN: all read; ENETDOWN: the interface went down, and
                // frames flow again once it is up.
                return;
            }
            for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                    std::uint32_t drops = 0;
                    std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
                    port.counters.overrun += drops - port.socket_drops;  // wraps like the kernel's
                    port.socket_drops = drops;
                }
            }
            switch (sort_from_interface(frame, n, port.extended)) {
            case FromInterface::Send:
                if (!port.queue.try_push(to_card(frame))) ++port.counters.queue_full;
                break;
            case FromInterface::OtherKind: ++port.counters.other_kind; break;
            case FromInterface::CanFd: ++port.counters.can_fd; break;
            case FromInterface::ErrorFrame: ++port.counters.error_in; break;
            case FromInterface::Malformed: ++port.counters.malformed; break;
            }
        }
    }

    void poll_status() {
        for (const auto &p : ports_) {
            Port &port = *p;
            const ControllerReading reading = read_controller(port);
            const ErrorState state = classify(reading);
            if (state != port.state) {
                for (const auto &frame : state_change_frames(port.state, state, reading)) {
                    forward(port, frame, port.counters.error_frames);
                }
                if (state == ErrorState::BusOff) port.bus_off_since = Clock::now();
                port.state = state;
            }
            // Bus-off puts the controller into reset mode; programming the
            // port again leaves it, which starts the recovery (128 times 11
            // recessive bits). A controller already recovering is left alone:
            // reset mode again would start its count anew.
            if (port.state == ErrorState::BusOff && restart_ms_ != 0 &&
                Clock::now() - port.bus_off_since >= milliseconds{restart_ms_} &&
                (_5C3A_Read(port.handle, REG_MOD) & MOD_RM) != 0) {
                std::lock_guard lock(port.controller);
                CanConfigPort(port.handle, &port.config);
                port.bus_off_since = Clock::now();
            }
        }
    }

    void interface_gone(Port &port) {
        if (status_ != kExitOk) return;
        say("interface " + port.spec.iface + " disappeared");
        status_ = kExitUnusable;
    }

    std::vector<std::unique_ptr<Port>> &ports_;
    int wake_read_;
    unsigned restart_ms_;
    bool stop_ = false;
    int status_ = kExitOk;
};

// Every port closed through the library: notification off, then the close
// request the driver turns the port off with.
void close_ports(std::vector<std::unique_ptr<Port>> &ports) {
    for (const auto &p : ports) {
        if (!p->open) continue;
        CanStopReceiveEvent(p->handle);
        CanCloseDriver(p->handle);
        p->open = false;
    }
    for (const auto &p : ports) {
        if (p->sock >= 0) close(p->sock);
        p->sock = -1;
    }
}

bool install_handler(int sig, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    return sigaction(sig, &action, nullptr) == 0;
}

}  // namespace

int run(const Options &options) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) < 0) {
        say("pipe: " + errno_text(errno));
        return kExitUnusable;
    }
    wake_fd = pipe_fds[1];
    // A stop signal during start-up is kept in the pipe and honoured once
    // the loop runs (after everything opened has been closed again, if the
    // start fails).
    if (!install_handler(SIGINT, on_stop_signal) || !install_handler(SIGTERM, on_stop_signal) ||
        !install_handler(SIGUSR1, on_counters_signal)) {
        say("cannot install signal handlers: " + errno_text(errno));
        return kExitUnusable;
    }

    std::vector<std::unique_ptr<Port>> ports;
    for (const auto &spec : options.ports) {
        ports.push_back(std::make_unique<Port>(spec, options.extended, options.queue_length));
    }
    const auto give_up = [&](const std::string &error) {
        say(error);
        close_ports(ports);
        return kExitUnusable;
    };

    // Interfaces first: nothing is asked of the card while one is missing.
    std::string error;
    for (const auto &p : ports) {
        p->sock = open_interface(p->spec.iface, error);
        if (p->sock < 0) return give_up(error);
    }
    // All ports opened before any receive event starts: installing a card
    // sets both receive signals back to ignored.
    for (const auto &p : ports) {
        if (!open_port(*p, error)) return give_up(error);
    }
    for (const auto &p : ports) {
        if (!start_receive_events(*p, error)) return give_up(error);
    }

    // Sender threads take no signal: the handlers run on the loop's thread,
    // and CanSendMsg's pause is not cut short.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    for (const auto &p : ports) p->sender = std::thread(sender, std::ref(*p));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    std::string list;
    for (const auto &p : ports) {
        list += (list.empty() ? "" : ", ") + p->spec.name() + " (" + format_bitrate(p->spec.timing.bitrate) +
                (p->extended ? ", 29-bit" : ", 11-bit") + ")";
    }
    say("forwarding " + list);

    Loop loop(ports, pipe_fds[0], options.restart_ms);
    const int status = loop.run();

    for (const auto &p : ports) {
        p->queue.close();
        p->sender.join();
        p->counters.unsent += p->queue.discard();
    }
    close_ports(ports);
    print_counters(ports);
    return status;
}

}  // namespace gateway
