// SPDX-License-Identifier: MIT
// Bit timing: the shared vectors (tests/bit_timing_vectors.tsv, which the
// Python interface's tests read as well), the fixed indices, and the
// properties every reachable and every refused rate has.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bit_timing.h"

using gateway::BitTiming;
using gateway::kCanClockHz;
using gateway::kUserTimingIndex;
using gateway::nearest_rates;
using gateway::timing_for;

namespace {

// The controller's rule: a quantum is BRP + 1 CAN clock cycles, a bit
// 1 + (TSEG1 + 1) + (TSEG2 + 1) quanta.
unsigned cycles(const BitTiming &t) { return (t.brp + 1U) * (3U + t.tseg1 + t.tseg2); }
unsigned btr0(const BitTiming &t) { return (unsigned{t.sjw} << 6) | t.brp; }
unsigned btr1(const BitTiming &t) { return (unsigned{t.tseg2} << 4) | t.tseg1; }

struct Vector {
    int line = 0;
    std::uint32_t rate = 0;
    bool refused = false;
    unsigned btr0 = 0, btr1 = 0, sample_point = 0;
    std::uint32_t below = 0, above = 0;  // 0: "-"
};

unsigned field(const std::string &text, int base) {
    return text == "-" ? 0U : static_cast<unsigned>(std::stoul(text, nullptr, base));
}

std::vector<Vector> read_vectors() {
    std::vector<Vector> vectors;
    std::ifstream in(PCI5C3A_BIT_TIMING_VECTORS);
    EXPECT_TRUE(in) << PCI5C3A_BIT_TIMING_VECTORS;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream columns(line);
        std::string rate, b0, b1, sample, below, above;
        std::getline(columns, rate, '\t');
        std::getline(columns, b0, '\t');
        std::getline(columns, b1, '\t');
        std::getline(columns, sample, '\t');
        std::getline(columns, below, '\t');
        std::getline(columns, above, '\t');
        EXPECT_FALSE(above.empty()) << "line " << number << ": six tab-separated columns";
        if (above.empty()) continue;
        Vector v;
        v.line = number;
        v.rate = static_cast<std::uint32_t>(std::stoul(rate));
        v.refused = b0 == "refused";
        if (!v.refused) {
            v.btr0 = field(b0, 16);
            v.btr1 = field(b1, 16);
            v.sample_point = field(sample, 10);
        }
        v.below = field(below, 10);
        v.above = field(above, 10);
        vectors.push_back(v);
    }
    return vectors;
}

bool fixed(std::uint32_t rate) {
    return rate == 125'000 || rate == 250'000 || rate == 500'000 || rate == 1'000'000;
}

}  // namespace

TEST(BitTiming, SharedVectors) {
    const auto vectors = read_vectors();
    EXPECT_GE(vectors.size(), 30U);
    for (const auto &v : vectors) {
        SCOPED_TRACE("tests/bit_timing_vectors.tsv line " + std::to_string(v.line));
        const auto t = timing_for(v.rate);
        if (v.refused) {
            EXPECT_FALSE(t) << v.rate;
            const auto n = nearest_rates(v.rate);
            EXPECT_EQ(n.below, v.below) << v.rate;
            EXPECT_EQ(n.above, v.above) << v.rate;
            continue;
        }
        ASSERT_TRUE(t) << v.rate;
        EXPECT_EQ(btr0(*t), v.btr0) << v.rate;
        EXPECT_EQ(btr1(*t), v.btr1) << v.rate;
        EXPECT_EQ(t->sample_point_permille(), v.sample_point) << v.rate;
        EXPECT_EQ(t->bitrate, v.rate);
        if (!fixed(v.rate)) {
            EXPECT_EQ(t->index, kUserTimingIndex) << v.rate;
        }
    }
}

TEST(BitTiming, FixedRatesUseTheLibrarysIndicesAndTables) {
    // The rule gives the library's own bytes for its four rates.
    const std::pair<std::uint32_t, unsigned> fixed_rates[] = {
        {125'000, 0x031C}, {250'000, 0x011C}, {500'000, 0x001C}, {1'000'000, 0x0014}};
    unsigned index = 0;
    for (const auto &[rate, registers] : fixed_rates) {
        const auto t = timing_for(rate);
        ASSERT_TRUE(t);
        EXPECT_EQ(t->index, index++);
        EXPECT_EQ((btr0(*t) << 8) | btr1(*t), registers) << rate;
    }
}

TEST(BitTiming, EveryReachableRateIsExactAndLegal) {
    // Every bit length from 1 Mbit/s to 5 kbit/s, asked for in whole bit/s:
    // accepted with exactly that length and legal fields, or refused with
    // neighbours that are accepted and bracket it.
    for (unsigned length = kCanClockHz / gateway::kMaxBitrate; length <= 1600; ++length) {
        const auto rate = static_cast<std::uint32_t>((2ULL * kCanClockHz + length) / (2ULL * length));
        const auto t = timing_for(rate);
        if (!t) {
            const auto n = nearest_rates(rate);
            EXPECT_TRUE(n.below == 0 || (n.below < rate && timing_for(n.below))) << rate;
            EXPECT_TRUE(n.above == 0 || (n.above > rate && timing_for(n.above))) << rate;
            continue;
        }
        EXPECT_EQ(cycles(*t), length) << rate;
        EXPECT_LE(t->brp, 63U);
        EXPECT_LE(t->tseg1, 15U);
        EXPECT_LE(t->tseg2, 7U);
        EXPECT_EQ(t->sjw, 0U);
        EXPECT_LE(t->sample_point_permille(), rate > 800'000 ? 750U : rate > 500'000 ? 800U : 875U) << rate;
        if (!fixed(rate)) {
            EXPECT_EQ(t->index, kUserTimingIndex) << rate;
        }
        // A bit/s off is refused: only a length whose rate ends in exactly
        // half a bit/s (7812.5 for 1024 cycles) is taken on both sides.
        EXPECT_FALSE(timing_for(rate + 1) && timing_for(rate - 1)) << rate;
    }
}

TEST(BitTiming, OutOfRange) {
    EXPECT_FALSE(timing_for(0));
    EXPECT_FALSE(timing_for(1));
    EXPECT_FALSE(timing_for(UINT32_MAX));
    EXPECT_EQ(nearest_rates(0).above, 5'000U);
    EXPECT_EQ(nearest_rates(UINT32_MAX).below, 1'000'000U);
    EXPECT_EQ(nearest_rates(UINT32_MAX).above, 0U);
}

TEST(BitTiming, Formatting) {
    EXPECT_EQ(gateway::format_bitrate(1'000'000), "1M");
    EXPECT_EQ(gateway::format_bitrate(500'000), "500k");
    EXPECT_EQ(gateway::format_bitrate(83'333), "83333");
}
