/* SPDX-License-Identifier: MIT */
// hw_wire.h - a CAN wire: the controllers attached to it (and possibly the
// remote node, present as a bit time at which it acknowledges), the frames
// they send in arbitration order, and what every other node makes of them.
#pragma once

#include <optional>
#include <vector>

#include "hw_types.h"

namespace vcard {

class Sja1000;

// A bus outside the process that a wire is joined to (a SocketCAN
// interface, process_socketcan.h): every frame a controller on the wire
// sends is handed to it as well.
class ExternalBus {
public:
    enum class Sent {
        accepted,  // the outside bus took the frame: acknowledged now
        pending,   // taken, acknowledged once it reports the frame sent (Wire::external_confirmed)
        failed     // not taken: as far as the outside bus goes, nobody acknowledged it
    };
    virtual ~ExternalBus() = default;
    // Called under the driver's lock, from the request path: no allocation.
    virtual Sent send(const Frame &frame, BitTime bit_time) = 0;
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

    // The bus outside the process this wire is joined to, null for none.
    void set_external(ExternalBus *bus) { external_ = bus; }
    ExternalBus *external() const { return external_; }
    // A frame from the outside bus, already valid there (acknowledged by
    // its own nodes): every controller on the wire receives it, at
    // `bit_time`, or, without one, at whatever rate each receiver runs.
    void external_receive(const Frame &frame, std::optional<BitTime> bit_time);
    // The outside bus reports the frame it took as pending sent: it is on
    // the bus, the other controllers receive it and its sender is done.
    void external_confirmed();
    // The outside bus did not report it sent within its time: one
    // acknowledge error for the sender, which keeps waiting while the
    // frame stays pending.
    void external_unconfirmed();
    // A frame waits for the outside bus to report it sent.
    bool awaiting_confirmation() const { return awaiting_ != nullptr; }
    std::optional<BitTime> remote() const { return remote_; }
    const std::vector<Sja1000 *> &controllers() const { return controllers_; }

private:
    enum class Outcome { acknowledged, unacknowledged, pending };
    // One frame on the bus from `transmitter` (null: a node outside the
    // card): wakes sleepers, hands a controller's frame to the outside bus,
    // gives bus errors to nodes at other bit rates and, when valid, delivers
    // it. Without a bit time the frame matches every receiver's.
    Outcome put_on_bus(const Frame &frame, std::optional<BitTime> bit_time, Sja1000 *transmitter,
                       bool valid_without_ack, bool *woke);

    std::vector<Sja1000 *> controllers_;
    std::optional<BitTime> remote_;
    ExternalBus *external_ = nullptr;
    // The controller whose frame the outside bus holds, its frame and bit time.
    Sja1000 *awaiting_ = nullptr;
    Frame awaiting_frame_{};
    BitTime awaiting_bit_time_ = 0;
    bool arbitrating_ = false;
    bool again_ = false;
};

// Arbitration field of a frame as a bit string, most significant first,
// dominant (0) winning: for the first differing position, the ALC code the
// loser captures. Returns -1 when the arbitration fields are identical,
// otherwise the position; *a_wins tells which frame wins.
int arbitration_difference(const Frame &a, const Frame &b, bool *a_wins);

// Bits a frame occupies on the wire from its start of frame to the end of
// the interframe space that must follow before the next frame may start:
// start of frame through CRC with their stuff bits (after five equal bits
// the transmitter inserts one of the other value, which counts towards the
// next run), then CRC delimiter, ACK slot, ACK delimiter, 7 bits of end of
// frame and 3 of intermission, which are not stuffed. Data frames carry
// min(DLC, 8) data bytes, remote frames none.
unsigned frame_bits(const Frame &frame);

}  // namespace vcard
