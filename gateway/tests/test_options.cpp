// SPDX-License-Identifier: MIT
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

TEST(Options, MessagesWordForWord) {
    EXPECT_EQ(error_of({"--bogus", "0:0=vcan0"}), "unknown option \"--bogus\" (see --help)");
    EXPECT_EQ(error_of({"--bogus=1", "0:0=vcan0"}), "unknown option \"--bogus=1\" (see --help)");
    EXPECT_EQ(error_of({"0:0=vcan0", "-x"}), "unknown option \"-x\" (see --help)");
    EXPECT_EQ(error_of({"-1:0=vcan0"}), "unknown option \"-1:0=vcan0\" (see --help)");
    EXPECT_EQ(error_of({"-ex", "0:0=vcan0"}), "unknown option \"-ex\" (see --help)");
    EXPECT_EQ(error_of({"-h=yes"}), "unknown option \"-h=yes\" (see --help)");
    EXPECT_EQ(error_of({"-"}), "unknown option \"-\" (see --help)");
    EXPECT_EQ(error_of({"--help=yes"}), "option --help takes no value");
    EXPECT_EQ(error_of({"--version="}), "option --version takes no value");
    EXPECT_EQ(error_of({"--extended=1", "0:0=vcan0"}), "option --extended takes no value");
    EXPECT_EQ(error_of({"0:0=vcan0", "--bitrate"}), "option --bitrate needs a value, e.g. --bitrate 500k");
    EXPECT_EQ(error_of({"0:0=vcan0", "-b"}), "option --bitrate needs a value, e.g. --bitrate 500k");
    EXPECT_EQ(error_of({"0:0=vcan0", "--queue"}), "option --queue needs a number of frames 1..65536");
    EXPECT_EQ(error_of({"0:0=vcan0", "-q", "x"}), "option --queue needs a number of frames 1..65536");
    EXPECT_EQ(error_of({"0:0=vcan0", "--restart-ms"}), "option --restart-ms needs milliseconds 0..60000");
    EXPECT_EQ(error_of({"--restart-ms=60001", "0:0=vcan0"}),
              "option --restart-ms needs milliseconds 0..60000");
    EXPECT_EQ(error_of({"--bitrate=", "0:0=vcan0"}),
              "bit rate \"\" is not valid; expected bit/s with an optional k or M, e.g. 500k");
    EXPECT_EQ(error_of({}), "no port given: CARD:PORT=INTERFACE, e.g. 0:0=vcan0 (see --help)");
    // The first fault is the one reported, options before ports.
    EXPECT_EQ(error_of({"9:9=x", "--bogus"}), "unknown option \"--bogus\" (see --help)");
}

TEST(Options, ValuesMayLookLikeOptionsAndPortsFollowDoubleDash) {
    // A value is the next argument whatever it looks like.
    EXPECT_NE(error_of({"--bitrate", "--extended", "0:0=vcan0"}).find("bit rate \"--extended\""),
              std::string::npos);
    auto result = parse({"-e", "--", "0:0=vcan0", "0:1=vcan1"});
    ASSERT_TRUE(result.options) << result.error;
    EXPECT_TRUE(result.options->extended);
    EXPECT_EQ(result.options->ports.size(), 2U);
    EXPECT_EQ(error_of({"--", "-e"}), "\"-e\" is not CARD:PORT=INTERFACE");
}

TEST(Options, ShortOptionsGroupAndTakeAttachedValues) {
    const auto result = parse({"-eq8", "-b250k", "1:0=vcan0", "--rest=5", "--ext"});
    ASSERT_TRUE(result.options) << result.error;
    EXPECT_TRUE(result.options->extended);
    EXPECT_EQ(result.options->queue_length, 8U);
    EXPECT_EQ(result.options->restart_ms, 5U);
    EXPECT_EQ(result.options->ports[0].timing.bitrate, 250'000U);
    EXPECT_EQ(result.options->ports[0].handle(), 2);
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
