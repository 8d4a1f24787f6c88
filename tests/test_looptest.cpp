// SPDX-License-Identifier: MIT
// The loop-back test program test5C3A, run as it is on the virtual card
// (preloaded, configured through its environment) under a pseudo-terminal:
// what the terminal shows, the exit status, the key wait, and the driver
// requests the run made (the virtual card's trace file).
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "pci_5C3A_ioctl.h"
#include "pty_child.h"
#include "sja1000.h"

using test::Options;
using test::PtyChild;

namespace {

// The start of a trace line for a register read or write at a card address.
std::string readLine(unsigned addr) { return "REQ_REG_READ addr=" + std::to_string(addr) + " "; }
std::string writeLine(unsigned addr, unsigned data) {
    char text[64];
    std::snprintf(text, sizeof text, "REQ_REG_WRITE addr=%u data=0x%02x", addr, data);
    return text;
}

const std::string kPressKey = "Press any key to exit the program...\n";

// What a run that got as far as the key wait shows: the counts exactly as
// returned, the progress up to the position where the examination ended.
std::string shown(int count0, int count1, int progress, bool ok) {
    std::string s = "Start Transmit 32 messages Through PORT1 and PORT2....\n";
    s += "Get Receive Message PORT1 " + std::to_string(count0) + "  PORT2 " + std::to_string(count1) + "\n";
    for (int i = 1; i <= progress; i++) s += "\rexamine " + std::to_string(i) + " patterns";
    s += ok ? "\ntest ok!!\n" : "\ntest failed!!\n";
    return s + kPressKey;
}

class LoopTest : public ::testing::Test {
protected:
    using Env = std::vector<std::pair<std::string, std::string>>;

    void TearDown() override {
        child_.reset();
        if (!tracePath_.empty()) unlink(tracePath_.c_str());
    }

    // Runs test5C3A on a virtual card configured by env (everything else at
    // its default, whatever our own environment says).
    PtyChild &start(const Env &env, bool stdinFromDevNull = false) {
        Options o;
        o.argv = {TEST5C3A};
        o.env = {{"LD_PRELOAD", VCARD_LIB},    {"PCI5C3A_VCARD_CARDS", ""},  {"PCI5C3A_VCARD_WIRING", ""},
                 {"PCI5C3A_VCARD_REMOTE", ""}, {"PCI5C3A_VCARD_TAMPER", ""}, {"PCI5C3A_VCARD_TRACE", ""}};
#ifdef LOOPTEST_SANITIZED
        // The preloaded virtual card comes before the sanitizer's runtime.
        const char *asan = getenv("ASAN_OPTIONS");
        o.env.push_back({"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"});
#endif
        for (const auto &e : env) o.env.push_back(e);
        o.stdinFromDevNull = stdinFromDevNull;
        o.separateStderr = true;
        child_ = std::make_unique<PtyChild>(o);
        EXPECT_TRUE(child_->started());
        return *child_;
    }

    // A trace file of the run's driver requests.
    std::pair<std::string, std::string> traced() {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        tracePath_ =
            ::testing::TempDir() + "looptest_" + info->name() + "_" + std::to_string(getpid()) + ".trace";
        unlink(tracePath_.c_str());
        return {"PCI5C3A_VCARD_TRACE", tracePath_};
    }

    // The traced requests, each from its request name on ("REQ_SEND handle=0 ...").
    std::vector<std::string> requests() const {
        std::vector<std::string> out;
        std::ifstream in(tracePath_);
        for (std::string line; std::getline(in, line);) {
            auto at = line.find("REQ_");
            if (at != std::string::npos) out.push_back(line.substr(at));
        }
        return out;
    }

    // Waits for the key prompt and the key wait, then presses a key; returns
    // the exit status.
    int pressKey() {
        EXPECT_TRUE(child_->waitFor(kPressKey)) << child_->output();
        EXPECT_TRUE(child_->waitKeyMode()) << child_->output();
        child_->send("w");
        return child_->finish();
    }

    std::unique_ptr<PtyChild> child_;
    std::string tracePath_;
};

bool startsWith(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }

std::size_t countStarting(const std::vector<std::string> &lines, const std::string &prefix) {
    std::size_t n = 0;
    for (const auto &l : lines) n += startsWith(l, prefix);
    return n;
}

// --- a card with its ports wired together -----------------------------------

TEST_F(LoopTest, PassesOnWiredCardAndEndsAfterKey) {
    PtyChild &c = start({traced()});
    EXPECT_EQ(pressKey(), 0);
    EXPECT_EQ(c.output(), shown(32, 32, 32, true));  // the key is not echoed
    EXPECT_EQ(c.errors(), "");

    // The conversation with the driver, in the test's order: both ports
    // emptied (card 0's handles 0 and 1), then configured alike; each message
    // out of port 0, then port 1; the counts; 32 messages read per port;
    // port 0 closed, then port 1, the last close switching the LEDs off.
    std::vector<std::string> r = requests();
    constexpr unsigned kPort1 = PCI5C3A_PORT_WINDOW;
    std::vector<std::string> steps = {readLine(REG_RMC),          writeLine(REG_CMR, CMD_AT),
                                      readLine(kPort1 + REG_RMC), writeLine(kPort1 + REG_CMR, CMD_AT),
                                      "REQ_SET_MODE handle=0 ",   "REQ_SET_MODE handle=1 "};
    auto it = r.begin();
    for (const auto &step : steps) {
        it = std::find_if(it, r.end(), [&](const std::string &l) { return startsWith(l, step); });
        ASSERT_NE(it, r.end()) << "missing in order: " << step;
        ++it;
    }
    std::vector<std::string> rest;
    for (; it != r.end(); ++it)
        if (!startsWith(*it, "REQ_REG_")) rest.push_back(it->substr(0, it->find(" -> ")));
    const std::string frame = " rtr=0 len=8 data=0001020304050607";
    std::vector<std::string> expected;
    for (int i = 0; i < 32; i++) {
        char id[16];
        snprintf(id, sizeof id, " id=0x%X", i);
        expected.push_back("REQ_SEND handle=0" + std::string(id) + frame);
        expected.push_back("REQ_SEND handle=1" + std::string(id) + frame);
    }
    expected.push_back("REQ_RCV_COUNT handle=0 count=32");
    expected.push_back("REQ_RCV_COUNT handle=1 count=32");
    for (int port = 0; port < 2; port++) {
        for (int i = 0; i < 32; i++) {
            char id[16];
            snprintf(id, sizeof id, " id=0x%X", i);
            expected.push_back("REQ_RECEIVE handle=" + std::to_string(port) + id + frame);
        }
    }
    expected.push_back("REQ_PORT_CLOSE addr=0 data=0x01");
    expected.push_back("REQ_PORT_CLOSE addr=128 data=0x01");
    expected.push_back("REQ_LAST_CLOSE addr=64 data=0xff");
    EXPECT_EQ(rest, expected);
}

TEST_F(LoopTest, KeyTypedDuringTestDoesNotEndKeyWait) {
    PtyChild &c = start({});
    ASSERT_TRUE(c.waitFor("Start Transmit"));
    c.send("k");  // a key, and a whole line, typed while the test runs
    c.send("early\n");
    ASSERT_TRUE(c.waitFor(kPressKey)) << c.output();
    ASSERT_TRUE(c.waitKeyMode());
    // The typed-ahead input was thrown away: the program still waits.
    for (long long end = test::nowMs() + 500; test::nowMs() < end;) c.pump(50);
    EXPECT_TRUE(c.running());
    c.send("w");
    EXPECT_EQ(c.finish(), 0);
    EXPECT_NE(c.output().find("\ntest ok!!\n" + kPressKey), std::string::npos) << c.output();
}

// --- failures the test must report --------------------------------------------

TEST_F(LoopTest, NoCardEndsAtFirstOpenWithoutAnyRequest) {
    PtyChild &c = start({{"PCI5C3A_VCARD_CARDS", "0"}, traced()});
    EXPECT_EQ(c.finish(), 255);  // no key wait
    EXPECT_EQ(c.output(), "Couldn't find PCI-5C3A card 0\n\nOpen Port 0 Failed!!");
    EXPECT_EQ(requests(), std::vector<std::string>{});  // nothing cleared, configured or closed
}

TEST_F(LoopTest, UnwiredPortsFailAtFirstMessage) {
    PtyChild &c = start({{"PCI5C3A_VCARD_WIRING", "separate"}});
    EXPECT_EQ(pressKey(), 0);  // a failed test still ends with 0
    EXPECT_EQ(c.output(), shown(0, 0, 1, false));
}

TEST_F(LoopTest, CorruptDataByteFailsButExaminationGoesOn) {
    PtyChild &c = start({{"PCI5C3A_VCARD_TAMPER", "0:5:data3=0x55"}});
    EXPECT_EQ(pressKey(), 0);
    EXPECT_EQ(c.output(), shown(32, 32, 32, false));
}

TEST_F(LoopTest, ChangedIdentifierEndsExaminationThere) {
    PtyChild &c = start({{"PCI5C3A_VCARD_TAMPER", "1:10:id=0x7F"}});
    EXPECT_EQ(pressKey(), 0);
    EXPECT_EQ(c.output(), shown(32, 32, 11, false));
}

// --- more messages than the test reads -------------------------------------------

TEST_F(LoopTest, ExtraMessagesAfterTheFirst32AreLeftUnread) {
    PtyChild &c = start({{"PCI5C3A_VCARD_TAMPER", "0:31:dup=8"}, traced()});
    EXPECT_EQ(pressKey(), 0);
    EXPECT_EQ(c.output(), shown(40, 32, 32, true));
    std::vector<std::string> r = requests();
    EXPECT_EQ(countStarting(r, "REQ_RECEIVE handle=0 "), 32u);
    EXPECT_EQ(countStarting(r, "REQ_RECEIVE handle=1 "), 32u);
}

TEST_F(LoopTest, ExtraMessagesAmongTheFirst32Fail) {
    // Message 0 eight times more: position 1 holds identifier 0 again.
    PtyChild &c = start({{"PCI5C3A_VCARD_TAMPER", "0:0:dup=8"}});
    EXPECT_EQ(pressKey(), 0);
    EXPECT_EQ(c.output(), shown(40, 32, 2, false));
}

// --- no terminal for the key wait -------------------------------------------------

TEST_F(LoopTest, InputNotTerminalEndsWithStatus1AfterVerdictAndClose) {
    PtyChild &c = start({traced()}, true);
    EXPECT_EQ(c.finish(), 1);
    EXPECT_EQ(c.output(), shown(32, 32, 32, true));
    EXPECT_EQ(c.errors(), std::string("ioctl: ") + strerror(ENOTTY) + "\n");
    std::vector<std::string> r = requests();
    ASSERT_GE(r.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(r.end() - 3, r.end()),
              (std::vector<std::string>{"REQ_PORT_CLOSE addr=0 data=0x01 -> 0",
                                        "REQ_PORT_CLOSE addr=128 data=0x01 -> 0",
                                        "REQ_LAST_CLOSE addr=64 data=0xff -> 0"}));
}

}  // namespace
