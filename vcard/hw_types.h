/* SPDX-License-Identifier: MIT */
// hw_types.h - the words of the virtual card's hardware layer: what travels
// on a CAN wire, how nodes compare bit rates, how the cards' ports may be
// wired, and what the remote node sends. The test interface (vcard.h) hands
// these types to tests as they are.
#pragma once

#include <array>
#include <cstdint>

namespace vcard {

// The card: two ports, each with its own controller; up to four cards.
constexpr int kPortsPerCard = 2;
constexpr int kMaxCards = 4;
constexpr int kMaxPorts = kMaxCards * kPortsPerCard;

// Clock periods of the card's 16 MHz crystal per bit, the unit in which
// nodes compare bit rates: bit = 2 * (BRP + 1) * (3 + TSEG1 + TSEG2).
using BitTime = std::uint32_t;
constexpr std::uint32_t kCrystalHz = 16'000'000;

// A frame on the wire. From the driver and to tests `len` is the data
// length 0..8; on the wire it carries the data length code as sent, 0..15:
// a frame carries min(len, 8) data bytes, a remote frame none.
struct Frame {
    std::uint32_t id = 0;
    bool extended = false;
    bool rtr = false;
    std::uint8_t len = 0;
    std::array<std::uint8_t, 8> data{};
    bool operator==(const Frame &) const = default;
};

constexpr unsigned kMaxDataBytes = 8;
constexpr unsigned kMaxDlc = 15;
unsigned data_bytes(const Frame &frame);
// The frame as a controller can put it on the bus: identifier cut to 11 or
// 29 bits, length code limited to 15, data bytes beyond the length zeroed.
Frame normalised(const Frame &frame);

enum class Wiring {
    loopback,  // each card's two ports on one cable
    separate,  // every port on a wire of its own
    shared     // all ports of all cards on one bus
};

// The remote node's frame: a data frame with standard identifier
// kRemoteNodeId and 8 data bytes holding the node's frame sequence number
// (little-endian, from 0 after each reset). Each frame goes out on every
// wire at once, as from one node attached to all of them.
constexpr std::uint32_t kRemoteNodeId = 0x3A5;
Frame remote_node_frame(std::uint64_t sequence);

}  // namespace vcard
