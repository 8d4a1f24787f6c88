// hw_remote_node.h - a node outside the card that sits on every wire: it
// acknowledges frames sent at its bit rate (the wires know its bit time)
// and, each time it is told to, sends its next frame on every wire at once,
// as one node attached to all of them. When it sends is not its business:
// the process glue runs it on a thread of its own (process_state.cpp).
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

private:
    BitTime bit_time_;
    std::uint64_t sent_ = 0;
};

}  // namespace vcard
