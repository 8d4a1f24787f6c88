// Command line: what the gateway accepts, and the one line it refuses with.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "options.h"

using gateway::parse_arguments;
using gateway::parse_bitrate;

namespace {

gateway::ParseResult parse(std::vector<std::string_view> args) { return parse_arguments(args); }

std::string error_of(std::vector<std::string_view> args) {
    const auto result = parse(std::move(args));
    EXPECT_FALSE(result.options);
    return result.error;
}

}  // namespace

TEST(Options, PortsWithTheCommonRateAndKind) {
    const auto result = parse({"--bitrate", "250k", "--extended", "0:0=vcan0", "3:1=can7"});
    ASSERT_TRUE(result.options) << result.error;
    const auto &o = *result.options;
    EXPECT_TRUE(o.extended);
    ASSERT_EQ(o.ports.size(), 2U);
    EXPECT_EQ(o.ports[0].handle(), 0);
    EXPECT_EQ(o.ports[1].handle(), 7);
    EXPECT_EQ(o.ports[1].iface, "can7");
    EXPECT_EQ(o.ports[1].name(), "3:1=can7");
    EXPECT_EQ(o.ports[0].timing.bitrate, 250'000U);
    EXPECT_EQ(o.ports[0].timing.index, 1U);
}

TEST(Options, DefaultsAndOptionsAfterThePorts) {
    auto result = parse({"0:1=vcan1"});
    ASSERT_TRUE(result.options);
    EXPECT_EQ(result.options->ports[0].timing.bitrate, gateway::kDefaultBitrate);
    EXPECT_FALSE(result.options->extended);
    EXPECT_EQ(result.options->queue_length, 256U);
    EXPECT_EQ(result.options->restart_ms, 100U);

    // The common rate applies to ports given before it, too.
    result = parse({"0:0=vcan0", "--bitrate=1M", "-q", "8", "--restart-ms=0"});
    ASSERT_TRUE(result.options) << result.error;
    EXPECT_EQ(result.options->ports[0].timing.bitrate, 1'000'000U);
    EXPECT_EQ(result.options->queue_length, 8U);
    EXPECT_EQ(result.options->restart_ms, 0U);
}

TEST(Options, PerPortRateOverridesTheCommonOne) {
    const auto result = parse({"--bitrate", "500k", "0:0=vcan0", "0:1=vcan1@100k"});
    ASSERT_TRUE(result.options) << result.error;
    EXPECT_EQ(result.options->ports[0].timing.bitrate, 500'000U);
    EXPECT_EQ(result.options->ports[1].timing.bitrate, 100'000U);
    EXPECT_EQ(result.options->ports[1].timing.index, gateway::kUserTimingIndex);
    EXPECT_EQ(result.options->ports[1].iface, "vcan1");
}

TEST(Options, HelpNeedsNoPort) {
    const auto result = parse({"--help"});
    ASSERT_TRUE(result.options);
    EXPECT_TRUE(result.options->help);
    EXPECT_NE(gateway::usage().find("CARD:PORT=INTERFACE"), std::string::npos);
}

TEST(Options, RefusedWithOneLineSayingWhy) {
    EXPECT_NE(error_of({}).find("no port given"), std::string::npos);
    EXPECT_NE(error_of({"--bogus", "0:0=vcan0"}).find("unknown option \"--bogus\""), std::string::npos);
    EXPECT_NE(error_of({"--bitrate"}).find("needs a value"), std::string::npos);
    EXPECT_NE(error_of({"--bitrate", "fast", "0:0=vcan0"}).find("bit rate \"fast\" is not valid"),
              std::string::npos);
    EXPECT_NE(error_of({"--bitrate", "300k", "0:0=vcan0"}).find("nearest: 296296 or 307692"),
              std::string::npos);
    EXPECT_NE(error_of({"0:0=vcan0@2M"}).find("nearest: 1M"), std::string::npos);
    EXPECT_NE(error_of({"0:0=vcan0@83334"}).find("nearest: 83333 or 84211"), std::string::npos);
    EXPECT_NE(error_of({"--queue", "0", "0:0=vcan0"}).find("--queue"), std::string::npos);
    EXPECT_NE(error_of({"--queue", "70000", "0:0=vcan0"}).find("--queue"), std::string::npos);
    EXPECT_NE(error_of({"--restart-ms", "-1", "0:0=vcan0"}).find("--restart-ms"), std::string::npos);
    EXPECT_NE(error_of({"--help=yes"}).find("takes no value"), std::string::npos);
    for (const auto *bridge : {"0=vcan0", "vcan0", "0:0", "0=0:vcan0"}) {
        EXPECT_NE(error_of({bridge}).find("is not CARD:PORT=INTERFACE"), std::string::npos) << bridge;
    }
    EXPECT_NE(error_of({"4:0=vcan0"}).find("card must be 0..3"), std::string::npos);
    EXPECT_NE(error_of({"-1:0=vcan0"}).find("unknown option"), std::string::npos);
    EXPECT_NE(error_of({"0:2=vcan0"}).find("port must be 0 or 1"), std::string::npos);
    EXPECT_NE(error_of({"0:x=vcan0"}).find("port must be 0 or 1"), std::string::npos);
    EXPECT_NE(error_of({"0:0="}).find("interface name"), std::string::npos);
    EXPECT_NE(error_of({"0:0=a234567890123456"}).find("interface name"), std::string::npos);
    EXPECT_NE(error_of({"0:0=../x"}).find("interface name"), std::string::npos);
    EXPECT_NE(error_of({"0:0=vcan0", "0:0=vcan1"}).find("port 0:0 is given twice"), std::string::npos);
    EXPECT_NE(error_of({"0:0=vcan0", "0:1=vcan0"}).find("interface vcan0 is given twice"), std::string::npos);
}

TEST(Options, LongestInterfaceNameFits) {
    const auto result = parse({"0:0=a23456789012345"});  // IFNAMSIZ - 1 characters
    ASSERT_TRUE(result.options) << result.error;
}

TEST(Options, BitRateSyntax) {
    EXPECT_EQ(parse_bitrate("500k"), 500'000U);
    EXPECT_EQ(parse_bitrate("1M"), 1'000'000U);
    EXPECT_EQ(parse_bitrate("83333"), 83'333U);
    EXPECT_FALSE(parse_bitrate(""));
    EXPECT_FALSE(parse_bitrate("k"));
    EXPECT_FALSE(parse_bitrate("0"));
    EXPECT_FALSE(parse_bitrate("1.5M"));
    EXPECT_FALSE(parse_bitrate("-500k"));
    EXPECT_FALSE(parse_bitrate("500kk"));
    EXPECT_FALSE(parse_bitrate("99999999999M"));  // beyond 32 bits, not wrapped
}
