#include "bit_timing.h"

#include <array>
#include <cstdlib>

namespace gateway {

namespace {

// Register field ranges of bus timing 0/1: BRP 6 bits, TSEG1 4 bits, TSEG2 3
// bits. In quanta: tseg1 1..16, tseg2 1..8, so 3..25 quanta per bit.
constexpr unsigned kMaxBrp = 63;
constexpr unsigned kMaxTseg1Quanta = 16;
constexpr unsigned kMaxTseg2Quanta = 8;
constexpr unsigned kMinQuanta = 3;
constexpr unsigned kMaxQuanta = 1 + kMaxTseg1Quanta + kMaxTseg2Quanta;

// The library's fixed indices, with the register fields its bus timing
// bytes hold (0x03/0x1C, 0x01/0x1C, 0x00/0x1C, 0x00/0x14): each doubles the
// rate of the one before.
constexpr std::array<BitTiming, 4> kFixed{{{125'000, 0, 3, 12, 1, 0},
                                           {250'000, 1, 1, 12, 1, 0},
                                           {500'000, 2, 0, 12, 1, 0},
                                           {1'000'000, 3, 0, 4, 1, 0}}};

unsigned target_sample_point(std::uint32_t bitrate) {
    if (bitrate > 800'000) return 750;
    if (bitrate > 500'000) return 800;
    return 875;
}

// Crystal periods per bit when that is a whole number the registers can
// express, else 0.
unsigned periods_per_bit(std::uint32_t bitrate) {
    if (bitrate < kMinBitrate || bitrate > kMaxBitrate || kCrystalHz % bitrate != 0) return 0;
    return kCrystalHz / bitrate;
}

}  // namespace

unsigned BitTiming::sample_point_permille() const {
    // Sync segment and segment 1 before the sample point.
    const unsigned quanta = 3U + tseg1 + tseg2;
    return (1000U * (2U + tseg1)) / quanta;
}

std::optional<BitTiming> timing_for(std::uint32_t bitrate) {
    for (const auto &fixed : kFixed) {
        if (fixed.bitrate == bitrate) return fixed;
    }
    const unsigned periods = periods_per_bit(bitrate);
    if (periods == 0) return std::nullopt;

    const unsigned target = target_sample_point(bitrate);
    std::optional<BitTiming> best;
    unsigned best_error = 0;
    // The smallest prescaler first: more quanta per bit place the sample
    // point more finely, so on equal error the earlier candidate wins.
    for (unsigned brp = 0; brp <= kMaxBrp; ++brp) {
        const unsigned quantum = 2 * (brp + 1);
        if (periods % quantum != 0) continue;
        const unsigned quanta = periods / quantum;
        if (quanta < kMinQuanta || quanta > kMaxQuanta) continue;
        // Phase segment 2 (after the sample point) from the target, within
        // the register's range; segment 1 takes the rest.
        for (unsigned tseg2 = 1; tseg2 <= kMaxTseg2Quanta; ++tseg2) {
            const unsigned tseg1 = quanta - 1 - tseg2;
            if (tseg1 < 1 || tseg1 > kMaxTseg1Quanta) continue;
            const unsigned sample = (1000U * (1 + tseg1)) / quanta;
            const unsigned error = sample > target ? sample - target : target - sample;
            if (!best || error < best_error) {
                best = BitTiming{bitrate,
                                 kUserTimingIndex,
                                 static_cast<std::uint8_t>(brp),
                                 static_cast<std::uint8_t>(tseg1 - 1),
                                 static_cast<std::uint8_t>(tseg2 - 1),
                                 0};
                best_error = error;
            }
        }
    }
    return best;
}

NearestRates nearest_rates(std::uint32_t bitrate) {
    NearestRates nearest;
    // Every reachable rate is the crystal over a whole number of periods;
    // walk the period counts outwards from the requested rate.
    for (unsigned periods = kCrystalHz / kMaxBitrate; periods <= kCrystalHz / kMinBitrate; ++periods) {
        if (kCrystalHz % periods != 0) continue;
        const std::uint32_t rate = kCrystalHz / periods;
        if (!timing_for(rate)) continue;
        if (rate < bitrate && rate > nearest.below) nearest.below = rate;
        if (rate > bitrate && (nearest.above == 0 || rate < nearest.above)) nearest.above = rate;
    }
    return nearest;
}

std::string format_bitrate(std::uint32_t bitrate) {
    if (bitrate != 0 && bitrate % 1'000'000 == 0) return std::to_string(bitrate / 1'000'000) + "M";
    if (bitrate != 0 && bitrate % 1'000 == 0) return std::to_string(bitrate / 1'000) + "k";
    return std::to_string(bitrate);
}

}  // namespace gateway
