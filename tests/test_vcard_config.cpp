// SPDX-License-Identifier: MIT
// The virtual card's configuration from PCI5C3A_VCARD_* variables: what each
// accepts, what it refuses and how a refusal ends a program.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>

#include <string>
#include <vector>

#include "pci_5C3A_ioctl.h"
#include "vcard.h"

namespace {

const char *const kVariables[] = {"PCI5C3A_VCARD_CARDS",  "PCI5C3A_VCARD_WIRING", "PCI5C3A_VCARD_REMOTE",
                                  "PCI5C3A_VCARD_TAMPER", "PCI5C3A_VCARD_TRACE",  "PCI5C3A_VCARD_NETDEV"};

class VcardEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *v : kVariables) unsetenv(v);
    }
    void TearDown() override { SetUp(); }

    // The configuration with one variable set.
    static std::optional<vcard::Config> with(const char *variable, const std::string &value,
                                             std::string *error = nullptr) {
        setenv(variable, value.c_str(), 1);
        std::string message;
        auto cfg = vcard::config_from_environment(&message);
        unsetenv(variable);
        if (error != nullptr) *error = message;
        return cfg;
    }

    // A refused value: the message names the variable and the value, on one line.
    static void refused(const char *variable, const std::string &value) {
        std::string error;
        EXPECT_FALSE(with(variable, value, &error)) << variable << "=" << value;
        EXPECT_NE(error.find(variable), std::string::npos) << error;
        EXPECT_NE(error.find("expected"), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
};

TEST_F(VcardEnvironment, Defaults) {
    const auto cfg = vcard::config_from_environment(nullptr);
    ASSERT_TRUE(cfg);
    EXPECT_EQ(cfg->cards, 1);
    EXPECT_EQ(cfg->wiring, vcard::Wiring::loopback);
    EXPECT_FALSE(cfg->remote);
    EXPECT_TRUE(cfg->tamper.empty());
    EXPECT_TRUE(cfg->netdev.empty());
    EXPECT_EQ(cfg->trace_path, "");

    // An empty value is the same as none.
    for (const char *v : kVariables) {
        const auto empty = with(v, "");
        ASSERT_TRUE(empty) << v;
        EXPECT_EQ(empty->cards, 1);
    }
}

TEST_F(VcardEnvironment, Cards) {
    for (int n = 0; n <= 4; ++n) EXPECT_EQ(with("PCI5C3A_VCARD_CARDS", std::to_string(n))->cards, n);
    for (const char *bad : {"5", "-1", "1.0", " 1", "1 ", "one", "0x1", "+2", "99999999999999999999"})
        refused("PCI5C3A_VCARD_CARDS", bad);
    std::string error;
    with("PCI5C3A_VCARD_CARDS", "7", &error);
    EXPECT_EQ(error, "virtual card: PCI5C3A_VCARD_CARDS=\"7\" is not valid; expected a number of cards 0..4");
}

TEST_F(VcardEnvironment, Wiring) {
    EXPECT_EQ(with("PCI5C3A_VCARD_WIRING", "loopback")->wiring, vcard::Wiring::loopback);
    EXPECT_EQ(with("PCI5C3A_VCARD_WIRING", "separate")->wiring, vcard::Wiring::separate);
    EXPECT_EQ(with("PCI5C3A_VCARD_WIRING", "shared")->wiring, vcard::Wiring::shared);
    for (const char *bad : {"Loopback", "loop", "shared ", "none"}) refused("PCI5C3A_VCARD_WIRING", bad);
}

TEST_F(VcardEnvironment, Remote) {
    struct Good {
        const char *text;
        unsigned bitrate, period;
    };
    for (const Good &g :
         {Good{"125k", 125000, 10}, Good{"500000", 500000, 10}, Good{"1M", 1000000, 10},
          Good{"250k:5", 250000, 5}, Good{"1M:1", 1000000, 1}, Good{"10k:60000", 10000, 60000},
          Good{"5000", 5000, 10}, Good{"2M", 2000000, 10}, Good{"100k", 100000, 10}, Good{"800k", 800000, 10},
          Good{"1M:0", 1000000, 0}, Good{"125k:00", 125000, 0}}) {
        const auto cfg = with("PCI5C3A_VCARD_REMOTE", g.text);
        ASSERT_TRUE(cfg && cfg->remote) << g.text;
        EXPECT_EQ(cfg->remote->bitrate, g.bitrate) << g.text;
        EXPECT_EQ(cfg->remote->period_ms, g.period) << g.text;
    }
    // Not a whole number of clock periods per bit (300k, 3M), not one a
    // controller's bus timing reaches (4M: 4 periods; 4000: 4000 periods),
    // or not a number at all.
    for (const char *bad : {"300k", "3M", "4M", "4000", "0", "125K", "125kk", "1.5M", "k",
                            "125k:", "125k:60001", "125k:10:1", ":10", "125k:x", "-125k", "16M"})
        refused("PCI5C3A_VCARD_REMOTE", bad);
}

TEST_F(VcardEnvironment, Tamper) {
    const auto cfg =
        with("PCI5C3A_VCARD_TAMPER", "1:0:id=0x7FF,1:3:data7=255,0:*:drop,7:12:dup=2,2:*:data0=0x10");
    ASSERT_TRUE(cfg);
    ASSERT_EQ(cfg->tamper.size(), 5u);
    const auto &t = cfg->tamper;
    EXPECT_EQ(t[0].handle, 1);
    EXPECT_EQ(t[0].index, 0u);
    EXPECT_FALSE(t[0].every_frame);
    EXPECT_EQ(t[0].kind, vcard::Tamper::Kind::id);
    EXPECT_EQ(t[0].value, 0x7FFu);
    EXPECT_EQ(t[1].kind, vcard::Tamper::Kind::data);
    EXPECT_EQ(t[1].index, 3u);
    EXPECT_EQ(t[1].byte, 7u);
    EXPECT_EQ(t[1].value, 255u);
    EXPECT_EQ(t[2].handle, 0);
    EXPECT_TRUE(t[2].every_frame);
    EXPECT_EQ(t[2].kind, vcard::Tamper::Kind::drop);
    EXPECT_EQ(t[3].handle, 7);
    EXPECT_EQ(t[3].index, 12u);
    EXPECT_EQ(t[3].kind, vcard::Tamper::Kind::duplicate);
    EXPECT_EQ(t[3].value, 2u);
    EXPECT_TRUE(t[4].every_frame);
    EXPECT_EQ(t[4].byte, 0u);
    EXPECT_EQ(t[4].value, 0x10u);
    EXPECT_EQ(with("PCI5C3A_VCARD_TAMPER", "0:0:id=0x1FFFFFFF")->tamper[0].value, 0x1FFFFFFFu);

    for (const char *bad : {"8:0:drop",     "-1:0:drop",          "0:x:drop",
                            "0:0",          "0:0:drop=1",         "0:0:id",
                            "0:0:id=",      "0:0:id=0x20000000",  "0:0:data8=1",
                            "0:0:data=1",   "0:0:data0=256",      "0:0:dup=0",
                            "0:0:dup=1025", "0:0:swap",           "0:0:drop,",
                            ",0:0:drop",    "0:0:drop,,1:0:drop", "0:0:drop 1:0:drop",
                            "0:0:id=0x",    "0:**:drop",          "0:0:data00=1"})
        refused("PCI5C3A_VCARD_TAMPER", bad);
}

// The driver's netdev= list: ports as CARD:PORT, kept as handles.
TEST_F(VcardEnvironment, Netdev) {
    EXPECT_EQ(with("PCI5C3A_VCARD_NETDEV", "0:1")->netdev, std::vector<int>{1});
    EXPECT_EQ(with("PCI5C3A_VCARD_NETDEV", "3:1,0:0,1:0")->netdev, (std::vector<int>{7, 0, 2}));
    for (const char *bad : {"1", "0:2", "4:0", "-1:0", "0:1,", ",0:1", "0:1:0", "0:1 1:0", "0:0x1", "a:b",
                            "0;1", " 0:1", "0:", ":1"})
        refused("PCI5C3A_VCARD_NETDEV", bad);
    std::string error;
    with("PCI5C3A_VCARD_NETDEV", "0:2", &error);
    EXPECT_EQ(error,
              "virtual card: PCI5C3A_VCARD_NETDEV=\"0:2\" is not valid; expected comma-separated ports "
              "CARD:PORT, e.g. 0:1 or 0:0,1:1 (card 0..3, port 0..1), as the driver's netdev= parameter");
}

TEST_F(VcardEnvironment, TraceAndFirstBadVariable) {
    EXPECT_EQ(with("PCI5C3A_VCARD_TRACE", "-")->trace_path, "-");
    EXPECT_EQ(with("PCI5C3A_VCARD_TRACE", "/tmp/x y")->trace_path, "/tmp/x y");

    // Control characters are shown escaped: the message stays one line.
    std::string error;
    with("PCI5C3A_VCARD_WIRING", "a\nb\"c", &error);
    EXPECT_NE(error.find("PCI5C3A_VCARD_WIRING=\"a\\x0ab\\\"c\""), std::string::npos) << error;

    setenv("PCI5C3A_VCARD_CARDS", "2", 1);
    setenv("PCI5C3A_VCARD_TAMPER", "bad", 1);
    setenv("PCI5C3A_VCARD_REMOTE", "worse", 1);
    EXPECT_FALSE(vcard::config_from_environment(&error));
    EXPECT_EQ(error.rfind("virtual card: PCI5C3A_VCARD_REMOTE=\"worse\"", 0), 0u) << error;
}

// A program on the virtual card with a malformed variable: one line on
// standard error and exit status 2, at its first open of a device node. The
// death test re-runs this test in a fresh process, where nothing has read
// the environment yet.
TEST(VcardEnvironmentErrors, EndTheProgramWithStatus2) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("PCI5C3A_VCARD_CARDS", "7", 1);
    EXPECT_EXIT(
        open("/dev/PCI5C3AW0", O_RDWR), testing::ExitedWithCode(2),
        "^virtual card: PCI5C3A_VCARD_CARDS=\"7\" is not valid; expected a number of cards 0\\.\\.4\n$");
    unsetenv("PCI5C3A_VCARD_CARDS");

    setenv("PCI5C3A_VCARD_TRACE", "/nonexistent-dir/trace", 1);
    EXPECT_EXIT(open("/dev/PCI5C3AW0", O_RDWR), testing::ExitedWithCode(2),
                "PCI5C3A_VCARD_TRACE=\"/nonexistent-dir/trace\" cannot be opened");
    unsetenv("PCI5C3A_VCARD_TRACE");
}

TEST(VcardEnvironmentErrors, GoodVariablesConfigureTheCardOnFirstOpen) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("PCI5C3A_VCARD_CARDS", "3", 1);
    EXPECT_EXIT(
        {
            const bool third = open("/dev/PCI5C3AW2", O_RDWR) >= 0;
            const bool fourth = open("/dev/PCI5C3AW3", O_RDWR) >= 0;
            std::exit(third && !fourth ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    unsetenv("PCI5C3A_VCARD_CARDS");
}

TEST(VcardEnvironmentErrors, NetdevPortsAreInterfacesFromTheFirstOpen) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("PCI5C3A_VCARD_NETDEV", "0:1", 1);
    EXPECT_EXIT(
        {
            const int fd = open("/dev/PCI5C3AW0", O_RDWR);
            REG_ACCESS a{};
            const bool port0 = ioctl(fd, REQ_REG_READ, &a) == 0;
            a.addr = PCI5C3A_PORT_WINDOW;
            const bool port1 = ioctl(fd, REQ_REG_READ, &a) == -1 && errno == EADDRINUSE;
            std::exit(port0 && port1 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    unsetenv("PCI5C3A_VCARD_NETDEV");
}

TEST(VcardEnvironmentErrors, IsNotReadAfterAReset) {
    vcard::reset(vcard::Config{});
    setenv("PCI5C3A_VCARD_CARDS", "bad", 1);
    EXPECT_GE(open("/dev/PCI5C3AW0", O_RDWR), 0);
    unsetenv("PCI5C3A_VCARD_CARDS");
}

}  // namespace
