// SPDX-License-Identifier: MIT
#include "bit_timing.h"

#include <array>

namespace gateway {

namespace {

// The controller's limits in the terms Linux's SJA1000 driver gives its
// bit-timing calculation: a prescaler of 1..64 CAN clock cycles per quantum,
// time segment 1 (propagation and phase segment 1) of 1..16 quanta, phase
// segment 2 of 1..8 quanta, and the one quantum of the sync segment. The
// register fields hold each value minus 1.
constexpr unsigned kBrpMin = 1;
constexpr unsigned kBrpMax = 64;
constexpr unsigned kTseg1Min = 1;
constexpr unsigned kTseg1Max = 16;
constexpr unsigned kTseg2Min = 1;
constexpr unsigned kTseg2Max = 8;
constexpr unsigned kSyncSeg = 1;
// Bits of 8 to 1600 CAN clock cycles: 1 Mbit/s down to 5 kbit/s.
constexpr unsigned kMinCycles = kCanClockHz / kMaxBitrate;
constexpr unsigned kMaxCycles = kBrpMax * (kSyncSeg + kTseg1Max + kTseg2Max);

// The library's fixed indices, with the register fields its bus timing
// bytes hold (0x03/0x1C, 0x01/0x1C, 0x00/0x1C, 0x00/0x14): each doubles the
// rate of the one before. They are what the rule below computes as well.
constexpr std::array<BitTiming, 4> kFixed{{{125'000, 0, 3, 12, 1, 0},
                                           {250'000, 1, 1, 12, 1, 0},
                                           {500'000, 2, 0, 12, 1, 0},
                                           {1'000'000, 3, 0, 4, 1, 0}}};

// The sample points CiA recommends, in tenths of a percent, as Linux takes
// them when the user names none.
unsigned reference_sample_point(std::uint32_t bitrate) {
    if (bitrate > 800'000) return 750;
    if (bitrate > 500'000) return 800;
    return 875;
}

struct Split {
    unsigned tseg1 = 0;
    unsigned tseg2 = 0;
    unsigned error = UINT32_MAX;  // distance to the reference; UINT32_MAX: no split at or before it
};

// Divides the `tseg` quanta after the sync segment into time segments 1 and
// 2 so that the sample point comes as close to the reference as it can
// without passing it: phase segment 2 rounded up from the reference, or one
// quantum shorter, within the registers' ranges. Sample points are counted
// in truncated tenths of a percent, which Linux's can_update_sample_point
// does as well and which decides its ties.
Split split_segments(unsigned reference, unsigned tseg) {
    Split best;
    const unsigned quanta = tseg + kSyncSeg;
    for (unsigned shorter = 0; shorter <= 1; ++shorter) {
        // At least 0: the reference is below 1000 tenths of a percent.
        unsigned tseg2 = quanta - (reference * quanta) / 1000 - shorter;
        if (tseg2 < kTseg2Min) tseg2 = kTseg2Min;
        if (tseg2 > kTseg2Max) tseg2 = kTseg2Max;
        unsigned tseg1 = tseg - tseg2;
        if (tseg1 > kTseg1Max) {
            tseg1 = kTseg1Max;
            tseg2 = tseg - tseg1;
        }
        const unsigned sample_point = 1000 * (quanta - tseg2) / quanta;
        const unsigned error = reference - sample_point;  // only used when not past it
        if (sample_point <= reference && error < best.error) best = {tseg1, tseg2, error};
    }
    return best;
}

struct Candidate {
    unsigned brp = 0;  // 0: none found
    Split split;
};

// Linux's can_calc_bittiming: every number of quanta from the most to the
// fewest, each with the prescaler rounded down and up; the smallest rate
// error wins, then the smallest sample-point error, and on a tie the earlier
// candidate, with more quanta and so the finer resynchronisation.
Candidate search(std::uint32_t bitrate) {
    const unsigned reference = reference_sample_point(bitrate);
    Candidate best;
    std::uint64_t best_rate_error = UINT64_MAX;
    unsigned best_sample_point_error = UINT32_MAX;
    for (unsigned tseg = (kTseg1Max + kTseg2Max) * 2 + 1; tseg >= (kTseg1Min + kTseg2Min) * 2; --tseg) {
        const unsigned quanta = kSyncSeg + tseg / 2;
        const std::uint64_t brp = kCanClockHz / (std::uint64_t{quanta} * bitrate) + tseg % 2;
        if (brp < kBrpMin || brp > kBrpMax) continue;
        const std::uint64_t rate = kCanClockHz / (brp * quanta);
        const std::uint64_t rate_error = rate > bitrate ? rate - bitrate : bitrate - rate;
        if (rate_error > best_rate_error) continue;
        if (rate_error < best_rate_error) best_sample_point_error = UINT32_MAX;
        const Split split = split_segments(reference, tseg / 2);
        if (split.error >= best_sample_point_error) continue;
        best = {static_cast<unsigned>(brp), split};
        best_rate_error = rate_error;
        best_sample_point_error = split.error;
        if (rate_error == 0 && split.error == 0) break;
    }
    return best;
}

// Whether a bit of `cycles` CAN clock cycles runs within half a bit/s of
// `bitrate`: |clock / cycles - bitrate| <= 1/2, in integers.
bool within_half(std::uint64_t cycles, std::uint32_t bitrate) {
    const std::uint64_t twice_clock = 2ULL * kCanClockHz;
    const std::uint64_t twice_rate = 2ULL * bitrate * cycles;
    return (twice_clock > twice_rate ? twice_clock - twice_rate : twice_rate - twice_clock) <= cycles;
}

// Whether some prescaler divides a bit of `cycles` into a number of quanta
// the registers express.
bool splits(unsigned cycles) {
    for (unsigned brp = kBrpMin; brp <= kBrpMax; ++brp) {
        if (cycles % brp != 0) continue;
        const unsigned quanta = cycles / brp;
        if (quanta >= kSyncSeg + kTseg1Min + kTseg2Min && quanta <= kSyncSeg + kTseg1Max + kTseg2Max)
            return true;
    }
    return false;
}

// The rate of a bit of `cycles` cycles in whole bit/s, halves up.
std::uint32_t rounded_rate(unsigned cycles) {
    return static_cast<std::uint32_t>((2ULL * kCanClockHz + cycles) / (2ULL * cycles));
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
    if (bitrate == 0) return std::nullopt;
    const Candidate best = search(bitrate);
    if (best.brp == 0) return std::nullopt;
    // Exact rates only: the bit the search found must be the one asked for,
    // to the whole bit/s it is written with (83333 for 8 MHz / 96).
    const unsigned cycles = best.brp * (kSyncSeg + best.split.tseg1 + best.split.tseg2);
    if (cycles < kMinCycles || !within_half(cycles, bitrate)) return std::nullopt;
    return BitTiming{bitrate,
                     kUserTimingIndex,
                     static_cast<std::uint8_t>(best.brp - 1),
                     static_cast<std::uint8_t>(best.split.tseg1 - 1),
                     static_cast<std::uint8_t>(best.split.tseg2 - 1),
                     0};  // SJW 1 quantum, as Linux 6.1 sets it by default
}

NearestRates nearest_rates(std::uint32_t bitrate) {
    NearestRates nearest;
    // Longer bits, slower rates: the first reachable rate below the one
    // asked for is the nearest below, the last one above the nearest above.
    for (unsigned cycles = kMinCycles; cycles <= kMaxCycles; ++cycles) {
        if (!splits(cycles)) continue;
        const std::uint64_t times = std::uint64_t{bitrate} * cycles;
        if (kCanClockHz > times) {
            nearest.above = rounded_rate(cycles);
        } else if (kCanClockHz < times) {
            nearest.below = rounded_rate(cycles);
            break;
        }
    }
    return nearest;
}

std::string format_bitrate(std::uint32_t bitrate) {
    if (bitrate != 0 && bitrate % 1'000'000 == 0) return std::to_string(bitrate / 1'000'000) + "M";
    if (bitrate != 0 && bitrate % 1'000 == 0) return std::to_string(bitrate / 1'000) + "k";
    return std::to_string(bitrate);
}

}  // namespace gateway
