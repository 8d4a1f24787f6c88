/* SPDX-License-Identifier: MIT */
// hw_remote_node.h - a node outside the card that sits on every wire: it
// acknowledges frames sent at its bit rate (the wires know its bit time)
// and, each time it is told to, sends its next frame on every wire at once,
// as one node attached to all of them. When it sends is not its business:
// the process glue runs it on a thread of its own (process_state.cpp), once
// per period or, back to back, whenever next_start() has come.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "hw_types.h"

namespace vcard {

class Wire;

class RemoteNodeModel {
public:
    explicit RemoteNodeModel(BitTime bit_time) : bit_time_(bit_time) {}
    BitTime bit_time() const { return bit_time_; }
    // Sends remote_node_frame(frames_sent()) on every wire. No allocation:
    // it runs under the driver's lock, which a signal handler may want.
    void send_next(const std::vector<std::unique_ptr<Wire>> &wires);
    std::uint64_t frames_sent() const { return sent_; }
    // Frames no controller on any wire acknowledged (nobody listening yet,
    // or any more): the node counts them sent, its error flag destroyed
    // them for everyone.
    std::uint64_t frames_unacknowledged() const { return unacknowledged_; }

    // The node's time line, in clock periods of the card's crystal: a frame
    // occupies the bus for frame_bits() bits of bit_time() periods each,
    // interframe space included, so back to back the next frame starts at
    // next_start(). restart_at() moves the time line (to skip a stretch in
    // which the process did not run).
    std::uint64_t next_start() const { return next_start_; }
    // Frame numbers are not skipped: the next frame is the next number.
    void restart_at(std::uint64_t clock_periods) {
        if (clock_periods > next_start_) {
            ++restarts_;
            skipped_periods_ += clock_periods - next_start_;
        }
        next_start_ = clock_periods;
    }
    // How often restart_at() skipped ahead, and the bus time skipped in all.
    std::uint64_t restarts() const { return restarts_; }
    std::uint64_t skipped_periods() const { return skipped_periods_; }

private:
    BitTime bit_time_;
    std::uint64_t sent_ = 0;
    std::uint64_t next_start_ = 0;
    std::uint64_t unacknowledged_ = 0;
    std::uint64_t restarts_ = 0;
    std::uint64_t skipped_periods_ = 0;
};

}  // namespace vcard
