/* SPDX-License-Identifier: MIT */
// The poll loop: one thread over the self-pipe and the CAN sockets.
//
// Card to interface: the driver raises the port's receive signal (63 for
// port 0, 62 for port 1 of every card) once per frame it queues; the loop
// reads all waiting signals from a signalfd at once, drains the ports of
// those port numbers until their queues are empty, and writes the frames to
// the socket several per system call.
// Interface to card: the loop reads the socket and queues the frame; a
// thread per port sends it with CanSendMsg, which pauses 1 ms per frame, so
// the loop never waits for the card. Controller state: read at kStatusHz.
#ifndef PCI5C3A_GATEWAY_LOOP_H
#define PCI5C3A_GATEWAY_LOOP_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "card_port.h"
#include "gateway.h"
#include "interface.h"
#include "options.h"

namespace gateway {

// A card port and the interface it is mirrored onto.
struct Port {
    Port(const PortBridge &bridge, bool extended, std::size_t queue_length)
        : card(bridge, extended, queue_length) {}

    CardPort card;
    Interface iface;
};

using Ports = std::vector<std::unique_ptr<Port>>;

// One line per port on standard error: what was forwarded, lost and dropped.
void print_counters(const Ports &ports);

class Loop {
public:
    Loop(Ports &ports, int wake_read, int receive_signals, unsigned restart_ms)
        : ports_(ports), wake_read_(wake_read), receive_signals_(receive_signals), restart_ms_(restart_ms) {}

    // kExitOk on a stop signal, kExitUnusable when an interface went away.
    int run();

private:
    void read_wakeups();
    void read_receive_signals();
    void drain_ports(bool port0, bool port1);
    void drain(Port &port);
    void forward(Port &port, const can_frame *frames, std::size_t count, std::atomic<std::uint64_t> &counter);
    void read_interface(Port &port);
    void poll_status();
    void interface_gone(Port &port);

    Ports &ports_;
    int wake_read_;
    int receive_signals_;
    unsigned restart_ms_;
    bool stop_ = false;
    int status_ = kExitOk;
};

}  // namespace gateway

#endif
