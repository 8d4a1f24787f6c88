// SPDX-License-Identifier: MIT
#include "loop.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "controller_state.h"
#include "frames.h"
#include "gateway.h"
#include "sja1000.h"
#include "wakeup.h"

namespace gateway {

namespace {

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
// Frames received before they are written to the socket in one call.
constexpr std::size_t kWriteBatch = 32;

}  // namespace

void print_counters(const Ports &ports) {
    for (const auto &p : ports) {
        const InterfaceCounters &i = p->iface.counters;
        const CardCounters &c = p->card.counters;
        std::fprintf(
            stderr,
            "%s: %s card->iface forwarded=%llu lost=%llu error-frames=%llu; iface->card sent=%llu "
            "dropped: queue-full=%llu other-kind=%llu can-fd=%llu error-frame=%llu malformed=%llu "
            "busy=%llu unsent=%llu socket-overrun=%llu; state=%s\n",
            kProgram, p->card.bridge.name().c_str(), static_cast<unsigned long long>(i.to_iface.load()),
            static_cast<unsigned long long>(i.to_iface_lost.load()),
            static_cast<unsigned long long>(i.error_frames.load()),
            static_cast<unsigned long long>(c.to_card.load()),
            static_cast<unsigned long long>(c.queue_full.load()),
            static_cast<unsigned long long>(i.other_kind.load()),
            static_cast<unsigned long long>(i.can_fd.load()),
            static_cast<unsigned long long>(i.error_in.load()),
            static_cast<unsigned long long>(i.malformed.load()),
            static_cast<unsigned long long>(c.busy.load()), static_cast<unsigned long long>(c.unsent.load()),
            static_cast<unsigned long long>(i.overrun.load()), state_name(p->card.state));
    }
    std::fflush(stderr);
}

int Loop::run() {
    std::vector<pollfd> fds;
    fds.push_back({wake_read_, POLLIN, 0});
    fds.push_back({receive_signals_, POLLIN, 0});
    for (const auto &p : ports_) fds.push_back({p->iface.sock, POLLIN, 0});

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
            say(std::string("poll: ") + std::strerror(errno));
            return kExitUnusable;
        }
        if ((fds[0].revents & POLLIN) != 0) read_wakeups();
        if ((fds[1].revents & POLLIN) != 0) read_receive_signals();
        for (std::size_t i = 0; i < ports_.size(); ++i) {
            if (fds[i + 2].revents != 0) read_interface(*ports_[i]);
        }
    }
    return status_;
}

void Loop::read_wakeups() {
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

// Signals of frames drained already are read with the rest; the drain they
// start then finds the queue empty, so a flood costs a wake-up per batch of
// frames, not per frame.
void Loop::read_receive_signals() {
    ReceiveSignals seen;
    if (gateway::read_receive_signals(receive_signals_, seen)) drain_ports(seen.port0, seen.port1);
}

// The signal names the port number, not the card: every port of that
// number is drained.
void Loop::drain_ports(bool port0, bool port1) {
    for (const auto &p : ports_) {
        if ((p->card.bridge.port == 0 && port0) || (p->card.bridge.port == 1 && port1)) drain(*p);
    }
}

void Loop::drain(Port &port) {
    std::array<can_frame, kWriteBatch> frames{};
    for (int taken = 0; taken < kBurst;) {
        const int waiting = CanGetRcvCnt(port.card.handle);
        if (waiting <= 0) return;
        for (int i = 0; i < waiting && taken < kBurst;) {
            std::size_t n = 0;
            for (; n < frames.size() && i < waiting && taken < kBurst; ++n, ++i, ++taken) {
                CAN_PACKET packet{};
                CanRcvMsg(port.card.handle, &packet);
                frames[n] = to_interface(packet, port.card.extended);
            }
            forward(port, frames.data(), n, port.iface.counters.to_iface);
        }
    }
}

void Loop::forward(Port &port, const can_frame *frames, std::size_t count,
                   std::atomic<std::uint64_t> &counter) {
    bool gone = false;
    const std::size_t written = write_frames(port.iface.sock, frames, count, gone);
    counter += written;
    port.iface.counters.to_iface_lost += count - written;
    if (gone) interface_gone(port);
}

void Loop::read_interface(Port &port) {
    InterfaceCounters &counters = port.iface.counters;
    for (int i = 0; i < kBurst; ++i) {
        canfd_frame frame{};
        int err = 0;
        const ssize_t n = read_frame(port.iface, frame, err);
        if (n < 0) {
            if (err == ENODEV || err == ENXIO) interface_gone(port);
            // EAGAIN: all read; ENETDOWN: the interface went down, and
            // frames flow again once it is up.
            return;
        }
        switch (sort_from_interface(frame, n, port.card.extended)) {
        case FromInterface::Send:
            if (!port.card.queue.try_push(to_card(frame))) ++port.card.counters.queue_full;
            break;
        case FromInterface::OtherKind: ++counters.other_kind; break;
        case FromInterface::CanFd: ++counters.can_fd; break;
        case FromInterface::ErrorFrame: ++counters.error_in; break;
        case FromInterface::Malformed: ++counters.malformed; break;
        }
    }
}

void Loop::poll_status() {
    for (const auto &p : ports_) {
        CardPort &card = p->card;
        const ControllerReading reading = read_controller(card);
        const ErrorState state = classify(reading);
        if (state != card.state) {
            const auto frames = state_change_frames(card.state, state, reading);
            forward(*p, frames.data(), frames.size(), p->iface.counters.error_frames);
            if (state == ErrorState::BusOff) card.bus_off_since = Clock::now();
            card.state = state;
        }
        // Bus-off puts the controller into reset mode; programming the
        // port again leaves it, which starts the recovery (128 times 11
        // recessive bits). A controller already recovering is left alone:
        // reset mode again would start its count anew.
        if (card.state == ErrorState::BusOff && restart_ms_ != 0 &&
            Clock::now() - card.bus_off_since >= milliseconds{restart_ms_} &&
            (_5C3A_Read(card.handle, REG_MOD) & MOD_RM) != 0) {
            std::lock_guard lock(card.controller);
            CanConfigPort(card.handle, &card.config);
            card.bus_off_since = Clock::now();
        }
    }
}

void Loop::interface_gone(Port &port) {
    if (status_ != kExitOk) return;
    say("interface " + port.card.bridge.iface + " disappeared");
    status_ = kExitUnusable;
}

}  // namespace gateway
