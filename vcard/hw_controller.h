/* SPDX-License-Identifier: MIT */
// hw_controller.h - one SJA1000 controller in PeliCAN mode, modelled at the
// level of events (whole frames on the wire), not bits.
//
// Not thread-safe: the virtual driver serialises every call under its lock.
// Nothing in the hardware layer raises signals, sleeps or knows about
// descriptors.
#pragma once

#include <cstdint>
#include <memory>

#include "hw_types.h"

namespace vcard {

class Wire;

// What became of the frames other nodes put on a controller's wire, and of
// those it stored: every frame on the bus lands in exactly one of the first
// four (its own self-received frames count as stored too), every stored one
// is still in the FIFO, was released by the driver or was discarded by
// reset mode. Counted since power-up.
struct ReceiveCounters {
    std::uint64_t not_received = 0;  // reset mode, asleep (or woken by it), other bit rate, destroyed
    std::uint64_t filtered = 0;      // refused by the acceptance filter
    std::uint64_t stored = 0;        // into the receive FIFO
    std::uint64_t overrun = 0;       // lost to data overrun (FIFO full)
    std::uint64_t flushed = 0;       // stored, then discarded by entering reset mode
};

// One SJA1000 in PeliCAN mode as seen through its 32 registers. A window
// of the card is 128 bytes wide; registers 32..127 read 0 and ignore
// writes in this model.
class Sja1000 {
public:
    Sja1000();  // power-up state: reset mode, status 0x3C, warning limit 96
    ~Sja1000();
    Sja1000(const Sja1000 &) = delete;
    Sja1000 &operator=(const Sja1000 &) = delete;

    // Register access by the driver, reg 0..127 of the controller's window.
    // read() has the chip's read side effects (interrupt register cleared,
    // arbitration-lost and error-code capture re-armed); write() obeys the
    // reset-mode / operating-mode access rules and executes commands, which
    // may put a frame on the wire at once.
    std::uint8_t read(unsigned reg);
    void write(unsigned reg, std::uint8_t value);
    // The register as read() would return it, without side effects.
    std::uint8_t peek(unsigned reg) const;

    // The chip's INT output: an enabled interrupt condition is present.
    bool interrupt_pending() const;

    // ---- bus side, used by Wire ------------------------------------------
    bool in_operating_mode() const;  // RM clear (bus-off always sets RM)
    bool receives() const;           // operating and awake: sees frames at its bit time
    bool acknowledges() const;       // receives and not listen-only
    bool can_transmit() const;       // acknowledges: operating, awake, not listen-only
    bool self_test() const;          // STM: a transmission needs no acknowledgement
    BitTime bit_time() const;
    bool has_pending_frame() const;  // a transmission requested, not yet done or aborted
    Frame pending_frame() const;

    // Outcome of one attempt to send the pending frame.
    void transmission_succeeded();
    // Acknowledge error. Returns true while the chip is still error active
    // and retries at once; false once it is error passive (its further
    // acknowledge errors do not count) or the frame was single shot.
    bool transmission_unacknowledged();
    // Lost arbitration at ALC bit position `bit` (0..31, data-sheet coding).
    void arbitration_lost(unsigned bit);
    // A valid frame seen on the wire at this controller's bit rate: filter,
    // then into the receive FIFO (or data overrun). The receive error
    // counter goes down on a valid frame.
    void frame_received(const Frame &frame);
    // A frame sent at another bit rate: a bus error for this controller.
    void bus_error_received();
    // Bus activity while in sleep mode: the chip wakes up (and does not
    // receive the frame that woke it). Returns true when it was asleep.
    bool wake_up_by_bus();
    // A frame on the wire this controller did not take (see ReceiveCounters).
    void frame_not_received() { ++counters_.not_received; }

    ReceiveCounters receive_counters() const;
    // Messages in the receive FIFO now (RMC).
    unsigned fifo_frames() const;

    void attach(Wire *wire) { wire_ = wire; }

private:
    struct State;  // sja1000.cpp
    std::unique_ptr<State> s_;
    Wire *wire_ = nullptr;
    ReceiveCounters counters_;
    void retry_on_wire();
};

}  // namespace vcard
