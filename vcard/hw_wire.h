// hw_wire.h - a CAN wire: the controllers attached to it (and possibly the
// remote node, present as a bit time at which it acknowledges), the frames
// they send in arbitration order, and what every other node makes of them.
#pragma once

#include <optional>
#include <vector>

#include "hw_types.h"

namespace vcard {

class Sja1000;

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

// Bits a frame occupies on the wire from its start of frame to the end of
// the interframe space that must follow before the next frame may start:
// start of frame through CRC with their stuff bits (after five equal bits
// the transmitter inserts one of the other value, which counts towards the
// next run), then CRC delimiter, ACK slot, ACK delimiter, 7 bits of end of
// frame and 3 of intermission, which are not stuffed. Data frames carry
// min(DLC, 8) data bytes, remote frames none.
unsigned frame_bits(const Frame &frame);

}  // namespace vcard
