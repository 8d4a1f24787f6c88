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
#include <optional>
#include <vector>

#include "vcard.h"

namespace vcard {

class Wire;

// Clock periods of the card's 16 MHz crystal per bit, the unit in which
// nodes compare bit rates: bit = 2 * (BRP + 1) * (3 + TSEG1 + TSEG2).
using BitTime = std::uint32_t;
constexpr std::uint32_t kCrystalHz = 16'000'000;

// Frames on the wire are vcard::Frame with `len` carrying the data length
// code as sent, 0..15; a frame carries min(len, 8) data bytes, a remote
// frame none.
constexpr unsigned kMaxDataBytes = 8;
constexpr unsigned kMaxDlc = 15;
unsigned data_bytes(const Frame &frame);
// The frame as a controller can put it on the bus: identifier cut to 11 or
// 29 bits, length code limited to 15, data bytes beyond the length zeroed.
Frame normalised(const Frame &frame);

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

    void attach(Wire *wire) { wire_ = wire; }

private:
    struct State;  // sja1000.cpp
    std::unique_ptr<State> s_;
    Wire *wire_ = nullptr;
    void retry_on_wire();
};

// A cable with the controllers (and possibly a remote node) attached to it.
class Wire {
public:
    void attach(Sja1000 *controller);
    // Called by a controller whose transmission was requested, and whenever
    // a node on the wire changes mode or bit rate: pending frames are sent
    // (or retried) in arbitration order.
    void arbitrate();
    // A node outside the card sends one frame at bit_time; returns true when
    // a controller acknowledged it.
    bool external_transmit(const Frame &frame, BitTime bit_time);
    // The remote node's presence: it acknowledges frames at its bit time.
    void set_remote(std::optional<BitTime> bit_time);
    std::optional<BitTime> remote() const { return remote_; }
    const std::vector<Sja1000 *> &controllers() const { return controllers_; }

private:
    // One frame on the bus from `transmitter` (null: the remote node):
    // wakes sleepers, gives bus errors to nodes at other bit rates and, when
    // valid, delivers it. Returns whether it was acknowledged.
    bool put_on_bus(const Frame &frame, BitTime bit_time, Sja1000 *transmitter, bool valid_without_ack,
                    bool *woke);

    std::vector<Sja1000 *> controllers_;
    std::optional<BitTime> remote_;
    bool arbitrating_ = false;
    bool again_ = false;
};

// Arbitration field of a frame as a bit string, most significant first,
// dominant (0) winning: for the first differing position, the ALC code the
// loser captures. Returns -1 when the arbitration fields are identical,
// otherwise the position; *a_wins tells which frame wins.
int arbitration_difference(const Frame &a, const Frame &b, bool *a_wins);

// All controllers of the configured cards and the wires between them.
class Hardware {
public:
    Hardware(int cards, Wiring wiring, std::optional<BitTime> remote);
    int cards() const { return cards_; }
    Sja1000 &controller(int card, int port);
    Wire &wire_of(int card, int port);
    // No allocation: the remote node walks these under the driver's lock.
    const std::vector<std::unique_ptr<Wire>> &wires() const { return wires_; }
    std::uint8_t led(int card) const { return leds_.at(static_cast<std::size_t>(card)); }
    void set_led(int card, std::uint8_t value) { leds_.at(static_cast<std::size_t>(card)) = value; }

private:
    int cards_;
    std::vector<std::unique_ptr<Sja1000>> controllers_;
    std::vector<std::unique_ptr<Wire>> wires_;
    std::vector<Wire *> wire_of_;  // by card * 2 + port
    std::array<std::uint8_t, 4> leds_{};
};

}  // namespace vcard
