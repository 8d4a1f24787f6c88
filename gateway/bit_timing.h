/* SPDX-License-Identifier: MIT */
// Bit timing of a port's SJA1000 for a requested bit rate.
//
// The card clocks its controllers from a 16 MHz crystal, which the chip
// halves into its 8 MHz CAN clock. A time quantum is BRP + 1 CAN clock
// cycles (2 x (BRP + 1) crystal periods) and a bit 1 + (TSEG1 + 1) +
// (TSEG2 + 1) quanta. The rule that picks the registers for a rate, and
// which rates are refused, is README.md's "Bit rates and bus timing";
// python/can_pci5c3a/bitrate.py follows the same rule and
// tests/bit_timing_vectors.tsv holds both to it.
#ifndef PCI5C3A_GATEWAY_BIT_TIMING_H
#define PCI5C3A_GATEWAY_BIT_TIMING_H

#include <cstdint>
#include <optional>
#include <string>

#include "pci_5C3A.h"

namespace gateway {

inline constexpr std::uint32_t kCrystalHz = 16'000'000;
inline constexpr std::uint32_t kCanClockHz = kCrystalHz / 2;
// The SJA1000's highest bit rate, and the lowest the registers can express
// (64 x 25 CAN clock cycles per bit).
inline constexpr std::uint32_t kMaxBitrate = 1'000'000;
inline constexpr std::uint32_t kMinBitrate = 5'000;
// The library's fixed bit-rate index that stands for "the user timing".
inline constexpr unsigned kUserTimingIndex = PCI5C3A_BAUD_USER;

struct BitTiming {
    std::uint32_t bitrate = 0;
    unsigned index = 0;  // bit-rate index 0..3, or kUserTimingIndex
    // Register field values of bus timing 0/1. The port is programmed with
    // them only under kUserTimingIndex; for a fixed index they are the ones
    // the library writes itself.
    std::uint8_t brp = 0;
    std::uint8_t tseg1 = 0;
    std::uint8_t tseg2 = 0;
    std::uint8_t sjw = 0;

    // Sample point in tenths of a percent (875 = 87.5 %).
    [[nodiscard]] unsigned sample_point_permille() const;
    bool operator==(const BitTiming &) const = default;
};

// The timing for `bitrate`, or nothing when the controller cannot run at
// that rate: its bit must be a whole number of CAN clock cycles, to the whole
// bit/s the rate is written with (83333 for 96 cycles). 125k, 250k, 500k and
// 1M use the library's fixed indices 0..3, every other rate the user timing
// that Linux's can_calc_bittiming computes for an SJA1000 (sample point at or
// just before 87.5 %, 80 % above 500 kbit/s, 75 % above 800 kbit/s; SJW 1).
std::optional<BitTiming> timing_for(std::uint32_t bitrate);

// The reachable rates nearest below and above `bitrate` (0 when none), in
// whole bit/s (halves up): timing_for takes them as they are.
struct NearestRates {
    std::uint32_t below = 0;
    std::uint32_t above = 0;
};
NearestRates nearest_rates(std::uint32_t bitrate);

// "500k", "1M", "83333": as the options take them.
std::string format_bitrate(std::uint32_t bitrate);

}  // namespace gateway

#endif
