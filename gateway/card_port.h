/* SPDX-License-Identifier: MIT */
// The card side of a port: the library's handle, its configuration, the
// controller's error state, and the queue and sender thread that take
// interface frames to the card.
//
// The library's tables are unsynchronised. Every call that changes them
// (open, configure, receive events, close) happens while no sender thread
// runs, except the restart of a bus-off port, which takes the port's
// controller lock; while forwarding, the loop and the senders only read them.
#ifndef PCI5C3A_GATEWAY_CARD_PORT_H
#define PCI5C3A_GATEWAY_CARD_PORT_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "bounded_queue.h"
#include "controller_state.h"
#include "options.h"
#include "pci_5C3A.h"

namespace gateway {

using Clock = std::chrono::steady_clock;

// Frames counted on the way to the card.
struct CardCounters {
    std::atomic<std::uint64_t> to_card{0};     // handed to CanSendMsg
    std::atomic<std::uint64_t> queue_full{0};  // the port's queue had no room
    std::atomic<std::uint64_t> busy{0};        // controller bus-off or its frame stuck
    std::atomic<std::uint64_t> unsent{0};      // still queued at the end
};

struct CardPort {
    CardPort(const PortBridge &b, bool ext, std::size_t queue_length)
        : bridge(b), extended(ext), queue(queue_length) {}

    PortBridge bridge;
    bool extended;
    PORT_STRUCT config{};
    int handle = -1;
    bool open = false;
    BoundedQueue<CAN_PACKET> queue;
    std::thread sender;
    std::mutex controller;  // a send (status check + CanSendMsg) or a restart
    ErrorState state = ErrorState::Active;
    Clock::time_point bus_off_since{};
    int warning_limit = 96;
    CardCounters counters;
};

// Opens and configures the port; false with `error` set when it cannot be
// used.
bool open_card_port(CardPort &port, std::string &error);

// Switches the port's receive notification on with `handler`.
bool start_receive_events(CardPort &port, void (*handler)(int), std::string &error);

// The status register, and the error counters when they can matter.
ControllerReading read_controller(const CardPort &port);

// Starts the port's sender thread, which sends the queued frames until the
// queue is closed.
void start_sender(CardPort &port);

// Notification off, then the close request the driver turns the port off
// with. Nothing for a port that is not open.
void close_card_port(CardPort &port);

}  // namespace gateway

#endif
