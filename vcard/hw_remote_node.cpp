// SPDX-License-Identifier: MIT
// hw_remote_node.cpp - the remote node's frames.

#include "hw_remote_node.h"

#include "hw_wire.h"

namespace vcard {

Frame remote_node_frame(std::uint64_t sequence) {
    Frame f;
    f.id = kRemoteNodeId;
    f.len = kMaxDataBytes;
    for (unsigned i = 0; i < kMaxDataBytes; ++i) f.data[i] = static_cast<std::uint8_t>(sequence >> (8 * i));
    return f;
}

void RemoteNodeModel::send_next(const std::vector<std::unique_ptr<Wire>> &wires) {
    const Frame f = remote_node_frame(sent_);
    bool acknowledged = false;
    for (const auto &wire : wires) acknowledged = wire->external_transmit(f, bit_time_) || acknowledged;
    if (!acknowledged) ++unacknowledged_;
    ++sent_;
    next_start_ += std::uint64_t{frame_bits(f)} * bit_time_;
}

}  // namespace vcard
