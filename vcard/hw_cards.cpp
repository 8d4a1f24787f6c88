// SPDX-License-Identifier: MIT
// hw_cards.cpp - the configured cards' controllers, cabled as the wiring says.
#include "hw_cards.h"

#include <algorithm>
#include <stdexcept>

namespace vcard {

int wire_count(int cards, Wiring wiring) {
    cards = std::clamp(cards, 0, kMaxCards);
    switch (wiring) {
    case Wiring::loopback: return cards;
    case Wiring::separate: return cards * kPortsPerCard;
    case Wiring::shared: return cards > 0 ? 1 : 0;
    }
    return 0;
}

Hardware::Hardware(int cards, Wiring wiring, std::optional<BitTime> remote)
    : cards_(std::clamp(cards, 0, kMaxCards)) {
    const int ports = cards_ * kPortsPerCard;
    for (int i = 0; i < ports; ++i) controllers_.push_back(std::make_unique<Sja1000>());
    wire_of_.assign(static_cast<std::size_t>(ports), nullptr);
    auto connect = [this](Wire *w, int handle) {
        w->attach(controllers_[static_cast<std::size_t>(handle)].get());
        wire_of_[static_cast<std::size_t>(handle)] = w;
    };
    auto new_wire = [this] {
        wires_.push_back(std::make_unique<Wire>());
        return wires_.back().get();
    };
    switch (wiring) {
    case Wiring::loopback:
        for (int card = 0; card < cards_; ++card) {
            Wire *w = new_wire();
            for (int port = 0; port < kPortsPerCard; ++port) connect(w, card * kPortsPerCard + port);
        }
        break;
    case Wiring::separate:
        for (int h = 0; h < ports; ++h) connect(new_wire(), h);
        break;
    case Wiring::shared:
        if (ports > 0) {
            Wire *w = new_wire();
            for (int h = 0; h < ports; ++h) connect(w, h);
        }
        break;
    }
    if (remote) remote_node_.emplace(*remote);
    for (auto &w : wires_) w->set_remote(remote);
}

namespace {
std::size_t port_index(int cards, int card, int port) {
    if (card < 0 || card >= cards || port < 0 || port >= kPortsPerCard)
        throw std::out_of_range("no such card port");
    return static_cast<std::size_t>(card) * static_cast<std::size_t>(kPortsPerCard) +
           static_cast<std::size_t>(port);
}
}  // namespace

Sja1000 &Hardware::controller(int card, int port) { return *controllers_[port_index(cards_, card, port)]; }

Wire &Hardware::wire_of(int card, int port) {
    Wire *w = wire_of_[port_index(cards_, card, port)];
    if (!w) throw std::out_of_range("port not wired");
    return *w;
}

}  // namespace vcard
