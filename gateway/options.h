/* SPDX-License-Identifier: MIT */
// Command line of pci5c3a-gateway.
#ifndef PCI5C3A_GATEWAY_OPTIONS_H
#define PCI5C3A_GATEWAY_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bit_timing.h"

namespace gateway {

// One CARD:PORT=IFACE[@RATE] argument.
struct PortBridge {
    int card = 0;
    int port = 0;
    std::string iface;
    BitTiming timing;

    [[nodiscard]] int handle() const { return card * 2 + port; }
    // "0:1=vcan1", as messages and counters name the port.
    [[nodiscard]] std::string name() const;
};

struct Options {
    bool help = false;
    bool version = false;
    bool extended = false;
    std::size_t queue_length = 256;  // frames waiting for the card, per port
    unsigned restart_ms = 100;       // bus-off to restart; 0 = stay bus-off
    std::vector<PortBridge> ports;
};

inline constexpr std::uint32_t kDefaultBitrate = 500'000;
inline constexpr std::size_t kMaxQueueLength = 65536;
inline constexpr unsigned kMaxRestartMs = 60'000;

// The options, or one line saying what is wrong with them.
struct ParseResult {
    std::optional<Options> options;
    std::string error;
};
ParseResult parse_arguments(std::span<const std::string_view> args);

// "500k", "1M", "83333" (bit/s): a whole number with an optional k or M.
std::optional<std::uint32_t> parse_bitrate(std::string_view text);

// Why a rate is refused, naming the nearest rates the controller can run at.
std::string unreachable_bitrate_message(std::string_view text, std::uint32_t bitrate);

std::string usage();

}  // namespace gateway

#endif
