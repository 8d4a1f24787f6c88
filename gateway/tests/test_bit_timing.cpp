// Bit timing: the fixed indices, the user timing's arithmetic against the
// controller's rule, and the nearest reachable rates.
#include <gtest/gtest.h>

#include "bit_timing.h"

using gateway::BitTiming;
using gateway::kCrystalHz;
using gateway::kUserTimingIndex;
using gateway::nearest_rates;
using gateway::timing_for;

namespace {

// The controller's rule: a quantum is 2 x (BRP + 1) crystal periods, a bit
// 1 + (TSEG1 + 1) + (TSEG2 + 1) quanta.
unsigned periods(const BitTiming &t) { return 2U * (t.brp + 1U) * (3U + t.tseg1 + t.tseg2); }

}  // namespace

TEST(BitTiming, FixedRatesUseTheLibrarysIndices) {
    EXPECT_EQ(timing_for(125'000)->index, 0U);
    EXPECT_EQ(timing_for(250'000)->index, 1U);
    EXPECT_EQ(timing_for(500'000)->index, 2U);
    EXPECT_EQ(timing_for(1'000'000)->index, 3U);
    // Their register fields are the library's own bus timing bytes.
    for (const unsigned rate : {125'000U, 250'000U, 500'000U, 1'000'000U}) {
        EXPECT_EQ(periods(*timing_for(rate)), kCrystalHz / rate) << rate;
    }
}

TEST(BitTiming, EveryOtherReachableRateThroughTheUserTiming) {
    // All rates the crystal divides into a whole number of periods that the
    // registers can express, from 5k to 1M: each is exact and legal.
    int reachable = 0;
    for (unsigned n = 16; n <= 3200; ++n) {
        if (kCrystalHz % n != 0) continue;
        const unsigned rate = kCrystalHz / n;
        const auto t = timing_for(rate);
        if (!t) continue;
        ++reachable;
        EXPECT_EQ(periods(*t), n) << rate;
        EXPECT_LE(t->brp, 63U);
        EXPECT_LE(t->tseg1, 15U);
        EXPECT_LE(t->tseg2, 7U);
        EXPECT_EQ(t->sjw, 0U);
        if (rate != 125'000 && rate != 250'000 && rate != 500'000 && rate != 1'000'000) {
            EXPECT_EQ(t->index, kUserTimingIndex) << rate;
        }
    }
    EXPECT_EQ(reachable, 28);  // the divisors of 16 MHz from 16 to 3200 periods the registers express
}

TEST(BitTiming, SamplePointAsLinuxPlacesIt) {
    // 100k: 160 periods; 10 x 16 quanta give exactly 87.5 %.
    const auto t100 = timing_for(100'000);
    ASSERT_TRUE(t100);
    EXPECT_EQ(t100->sample_point_permille(), 875U);
    EXPECT_EQ(t100->brp, 4U);
    EXPECT_EQ(t100->tseg1, 12U);
    EXPECT_EQ(t100->tseg2, 1U);
    // 800k: 20 periods, 10 quanta: 80 %.
    EXPECT_EQ(timing_for(800'000)->sample_point_permille(), 800U);
    // 20k and 50k, common rates, near 87.5 %.
    EXPECT_NEAR(timing_for(20'000)->sample_point_permille(), 875, 15);
    EXPECT_NEAR(timing_for(50'000)->sample_point_permille(), 875, 15);
}

TEST(BitTiming, UnreachableRates) {
    EXPECT_FALSE(timing_for(300'000));    // 53.3 periods
    EXPECT_FALSE(timing_for(2'000'000));  // above the controller's 1 Mbit/s
    EXPECT_FALSE(timing_for(4'999));      // below 5k
    EXPECT_FALSE(timing_for(0));
    EXPECT_FALSE(timing_for(83'333));
}

TEST(BitTiming, NearestRatesAreReachable) {
    auto n = nearest_rates(300'000);
    EXPECT_EQ(n.below, 250'000U);
    EXPECT_EQ(n.above, 320'000U);
    n = nearest_rates(2'000'000);
    EXPECT_EQ(n.below, 1'000'000U);
    EXPECT_EQ(n.above, 0U);
    n = nearest_rates(1'000);
    EXPECT_EQ(n.below, 0U);
    EXPECT_EQ(n.above, 5'000U);
    n = nearest_rates(83'333);
    EXPECT_TRUE(timing_for(n.below));
    EXPECT_TRUE(timing_for(n.above));
    EXPECT_LT(n.below, 83'333U);
    EXPECT_GT(n.above, 83'333U);
}

TEST(BitTiming, Formatting) {
    EXPECT_EQ(gateway::format_bitrate(1'000'000), "1M");
    EXPECT_EQ(gateway::format_bitrate(500'000), "500k");
    EXPECT_EQ(gateway::format_bitrate(83'333), "83333");
}
