// hardware.h - the virtual card's hardware: SJA1000 controllers in PeliCAN
// mode and the CAN wires between them, modelled at the level of events
// (whole frames), not bits.
//
// Not thread-safe: the virtual driver serialises every call under its lock.
// Nothing here raises signals, sleeps or knows about descriptors.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "vcard.h"

namespace vcard {

class Wire;

// Clock periods of the card's 16 MHz crystal per bit, the unit in which
// nodes compare bit rates: bit = 2 * (BRP + 1) * (3 + TSEG1 + TSEG2).
using BitTime = std::uint32_t;
constexpr std::uint32_t kCrystalHz = 16'000'000;

// One SJA1000 in PeliCAN mode as seen through its 32 registers.
class Sja1000 {
public:
    Sja1000();  // power-up state: reset mode, status 0x3C, warning limit 96

    // Register access by the driver, reg 0..31 of the controller's window.
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
    bool in_operating_mode() const;   // RM clear and not bus-off
    bool acknowledges() const;        // operating and not listen-only
    BitTime bit_time() const;
    bool has_pending_frame() const;   // a transmission requested, not yet done or aborted
    Frame pending_frame() const;
    // Outcome of one attempt to send the pending frame.
    void transmission_acknowledged();
    void transmission_unacknowledged();
    void arbitration_lost(unsigned bit);
    // A valid frame seen on the wire at this controller's bit rate: filter,
    // then into the receive FIFO (or data overrun). The receiver's error
    // counter goes down by 1 on a valid frame.
    void frame_received(const Frame &frame);
    // A frame sent at another bit rate: a bus error for this controller.
    void bus_error_received();

    void attach(Wire *wire) { wire_ = wire; }

private:
    // Implementation detail of sja1000.cpp.
    struct State;
    std::unique_ptr<State> s_;
    Wire *wire_ = nullptr;
    friend class Wire;
};

// A cable with the controllers (and possibly a remote node) attached to it.
class Wire {
public:
    void attach(Sja1000 *controller);
    // Called by a controller whose transmission was requested, and whenever
    // a node on the wire changes mode or bit rate (pending frames retry).
    void arbitrate();
    // A node outside the card sends one frame at bit_time; returns true when
    // a controller acknowledged it.
    bool external_transmit(const Frame &frame, BitTime bit_time);
    // The remote node's presence: it acknowledges frames at its bit time.
    void set_remote(std::optional<BitTime> bit_time);

private:
    std::vector<Sja1000 *> controllers_;
    std::optional<BitTime> remote_;
};

// All controllers of the configured cards and the wires between them.
class Hardware {
public:
    Hardware(int cards, Wiring wiring, std::optional<BitTime> remote);
    int cards() const { return cards_; }
    Sja1000 &controller(int card, int port);
    Wire &wire_of(int card, int port);
    std::vector<Wire *> wires();
    std::uint8_t led(int card) const { return leds_[card]; }
    void set_led(int card, std::uint8_t value) { leds_[card] = value; }

private:
    int cards_;
    std::vector<std::unique_ptr<Sja1000>> controllers_;
    std::vector<std::unique_ptr<Wire>> wires_;
    std::vector<Wire *> wire_of_;   // by card * 2 + port
    std::array<std::uint8_t, 4> leds_{};
};

}  // namespace vcard
