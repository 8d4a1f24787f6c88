// SPDX-License-Identifier: MIT
// Single-key console input (getch, kb_hit, restore) on a real terminal: a
// probe program calls them under a pseudo-terminal while the test types keys
// into it and reads the terminal's modes back through the master side.
#include <gtest/gtest.h>

#include <string.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "pty_child.h"

using test::Options;
using test::PtyChild;

namespace {

constexpr tcflag_t kKeyModeBits = ISIG | ICANON | ECHO;

class Conio : public ::testing::Test {
protected:
    PtyChild &run(const std::vector<std::string> &actions, bool devNull = false) {
        Options o;
        o.argv.push_back(CONIO_PROBE);
        for (const auto &a : actions) o.argv.push_back(a);
        o.stdinFromDevNull = devNull;
        o.separateStderr = true;
        child_ = std::make_unique<PtyChild>(o);
        EXPECT_TRUE(child_->started());
        EXPECT_TRUE(child_->waitFor("lflag ")) << child_->output();
        EXPECT_TRUE(child_->waitFor("\n")) << child_->output();
        return *child_;
    }

    // The local modes the probe found on entry (its first line).
    tcflag_t initialLflag() const {
        unsigned v = 0;
        EXPECT_EQ(std::sscanf(child_->output().c_str(), "lflag %u", &v), 1) << child_->output();
        return v;
    }

    std::string line(tcflag_t lflag) const { return "lflag " + std::to_string(lflag) + "\n"; }

    // Types key once the probe's call has switched the terminal to key mode.
    void typeWhenWaiting(std::string_view key) {
        ASSERT_TRUE(child_->waitKeyMode()) << child_->output();
        child_->send(key);
    }

    std::unique_ptr<PtyChild> child_;
};

// --- getch -----------------------------------------------------------------

TEST_F(Conio, GetchReturnsKeyAtOnceWithoutEchoAndRestoresTerminal) {
    PtyChild &c = run({"getch"});
    tcflag_t before = initialLflag();
    ASSERT_EQ(before & kKeyModeBits, kKeyModeBits);
    typeWhenWaiting("w");  // no Enter follows
    EXPECT_EQ(c.finish(), 0);
    // Exactly the probe's lines: the key was not echoed.
    EXPECT_EQ(c.output(), line(before) + "getch 119\n" + line(before));
    EXPECT_EQ(c.lflag(), before);
    EXPECT_EQ(c.errors(), "");
}

TEST_F(Conio, GetchTakesInterruptAndHighBytesAsKeys) {
    // Ctrl-C is an ordinary byte while signals are off: 3, and the probe
    // lives on; 0xE9 comes back as a negative char.
    PtyChild &c = run({"getch", "getch"});
    tcflag_t before = initialLflag();
    typeWhenWaiting("\x03");
    ASSERT_TRUE(c.waitFor("getch 3\n"));
    typeWhenWaiting("\xE9");
    EXPECT_EQ(c.finish(), 0);
    EXPECT_EQ(c.output(), line(before) + "getch 3\ngetch -23\n" + line(before));
}

TEST_F(Conio, GetchDropsRestOfEscapeSequence) {
    PtyChild &c = run({"getch", "pending", "getch"});
    tcflag_t before = initialLflag();
    typeWhenWaiting("\x1b[A");  // cursor up
    ASSERT_TRUE(c.waitFor("getch 27\npending 0\n")) << c.output();
    typeWhenWaiting("w");  // not '[' (91) left over from the sequence
    EXPECT_EQ(c.finish(), 0);
    EXPECT_EQ(c.output(), line(before) + "getch 27\npending 0\ngetch 119\n" + line(before));
}

TEST_F(Conio, GetchIgnoresKeysTypedBeforeTheCall) {
    PtyChild &c = run({"wait-input", "getch"});
    c.send("abc\n");  // a whole line waits before getch is called
    ASSERT_TRUE(c.waitFor("input pending\n")) << c.output();
    typeWhenWaiting("w");
    EXPECT_EQ(c.finish(), 0);
    EXPECT_NE(c.output().find("input pending\ngetch 119\n"), std::string::npos) << c.output();
}

// --- kb_hit ----------------------------------------------------------------

TEST_F(Conio, KbHitWithoutKeyReturnsZeroAndLeavesKey) {
    PtyChild &c = run({"kbhit"});
    tcflag_t before = initialLflag();
    EXPECT_EQ(c.finish(), 0);
    EXPECT_EQ(c.output(), line(before) + "kbhit 0 key 90\n" + line(before));
}

TEST_F(Conio, KbHitReturnsTypedKey) {
    // The probe polls kb_hit; a key is typed whenever a call is listening
    // (one typed between calls is discarded by the next call's switch).
    PtyChild &c = run({"kbhit-until-key"});
    tcflag_t before = initialLflag();
    long long end = test::nowMs() + 60000;
    while (c.output().find("kbhit ") == std::string::npos && test::nowMs() < end) {
        if (!(c.lflag() & ICANON)) c.send("w");
        if (!c.pump(20)) break;
    }
    EXPECT_EQ(c.finish(), 0);
    EXPECT_NE(c.output().find("kbhit 1 key 119\n"), std::string::npos) << c.output();
    EXPECT_EQ(c.lflag(), before);
}

// --- failures --------------------------------------------------------------

TEST_F(Conio, InputNotTerminalEndsWithStatus1) {
    for (const char *fn : {"getch", "kbhit"}) {
        SCOPED_TRACE(fn);
        PtyChild &c = run({fn}, true);
        EXPECT_EQ(c.finish(), 1);
        EXPECT_EQ(c.output(), "lflag none\n");
        EXPECT_EQ(c.errors(), std::string("ioctl: ") + strerror(ENOTTY) + "\n");
    }
}

TEST_F(Conio, EndOfFileEndsWithStatus4AfterRestoring) {
    PtyChild &c = run({"eof", "getch"});
    tcflag_t before = initialLflag();
    EXPECT_EQ(c.finish(), 4);
    EXPECT_EQ(c.errors(), "EOF error!");
    EXPECT_EQ(c.output(), line(before));
    EXPECT_EQ(c.lflag(), before);
}

TEST_F(Conio, KbHitTreatsEndOfFileAsNoKey) {
    PtyChild &c = run({"eof", "kbhit"});
    tcflag_t before = initialLflag();
    EXPECT_EQ(c.finish(), 0);
    EXPECT_EQ(c.output(), line(before) + "kbhit 0 key 90\n" + line(before));
}

TEST_F(Conio, InterruptedReadEndsWithStatus3AfterRestoring) {
    PtyChild &c = run({"sigusr1", "getch"});
    tcflag_t before = initialLflag();
    ASSERT_TRUE(c.waitKeyMode());
    // Key mode is set just before the read: a signal in between would find
    // no read to interrupt, and the probe would wait for a key for ever.
    ASSERT_TRUE(c.waitSleepingInRead()) << c.output();
    kill(c.pid(), SIGUSR1);
    EXPECT_EQ(c.finish(), 3);
    EXPECT_EQ(c.errors(), std::string("read: ") + strerror(EINTR) + "\n");
    EXPECT_EQ(c.lflag(), before);
}

TEST_F(Conio, HangupEndsWithStatus5AndOnlyTheRestoreMessage) {
    // Once the terminal is gone the read fails and so does the restore:
    // the restore's failure is the one reported.
    PtyChild &c = run({"ignore-hup", "getch"});
    ASSERT_TRUE(c.waitKeyMode());
    c.closeMaster();
    EXPECT_EQ(c.finish(), 5);
    EXPECT_EQ(c.errors(), std::string("ioctl: ") + strerror(EIO) + "\n");
}

}  // namespace
