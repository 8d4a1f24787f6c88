/* SPDX-License-Identifier: MIT */
// hw_cards.h - the hardware of the configured cards: every controller, the
// wires between them as the wiring says, the cards' LED registers, and the
// remote node when there is one.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "hw_controller.h"
#include "hw_remote_node.h"
#include "hw_types.h"
#include "hw_wire.h"

namespace vcard {

// The wires `cards` cards have when cabled as `wiring` says, in wire order:
// loopback one per card, separate one per port (by handle), shared one.
int wire_count(int cards, Wiring wiring);

// All controllers of the configured cards, the wires between them and the
// remote node on them.
class Hardware {
public:
    Hardware(int cards, Wiring wiring, std::optional<BitTime> remote);
    int cards() const { return cards_; }
    Sja1000 &controller(int card, int port);
    Wire &wire_of(int card, int port);
    // In wire order (wire_count). No allocation: the remote node walks
    // these under the driver's lock.
    const std::vector<std::unique_ptr<Wire>> &wires() const { return wires_; }
    std::uint8_t led(int card) const { return leds_.at(static_cast<std::size_t>(card)); }
    void set_led(int card, std::uint8_t value) { leds_.at(static_cast<std::size_t>(card)) = value; }
    // The remote node of the configuration, null when there is none.
    RemoteNodeModel *remote_node() { return remote_node_ ? &*remote_node_ : nullptr; }
    const RemoteNodeModel *remote_node() const { return remote_node_ ? &*remote_node_ : nullptr; }

private:
    int cards_;
    std::vector<std::unique_ptr<Sja1000>> controllers_;
    std::vector<std::unique_ptr<Wire>> wires_;
    std::vector<Wire *> wire_of_;  // by card * kPortsPerCard + port
    std::array<std::uint8_t, kMaxCards> leds_{};
    std::optional<RemoteNodeModel> remote_node_;
};

}  // namespace vcard
