// SPDX-License-Identifier: MIT
// Bit-rate detection: the trial sequence, how the status register ends a
// trial, how long a trial lasts, and what the port is left with.
#include <dlfcn.h>
#include <time.h>

#include <algorithm>

#include "support.h"

using namespace test;

// A clock under the test's control: when stepping, every call of time()
// moves one second on, so a trial polls exactly as often as its whole-second
// limit allows.
namespace {
bool stepping = false;
time_t fakeNow = 1000;
}  // namespace

extern "C" time_t time(time_t *out) {
    if (stepping) {
        const time_t now = fakeNow++;
        if (out) *out = now;
        return now;
    }
    using Real = time_t (*)(time_t *);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "time"));
    return real(out);
}

namespace {

class Detect : public Card {
protected:
    void TearDown() override {
        stepping = false;
        Card::TearDown();
    }
};

// Status reads (register 2 of port 0) in each trial's polling, one count
// per trial, from the trace.
std::vector<int> pollsPerTrial() {
    std::vector<int> polls;
    enum { idle, awaitingEnable, polling } state = idle;
    for (const auto &a : vcard::register_accesses()) {
        if (a.write && a.addr == 2) {  // status write-back: a trial starts
            polls.push_back(0);
            state = awaitingEnable;
        } else if (a.write && a.addr == 4 && state == awaitingEnable) {
            state = polling;  // receive enabled: polling follows
        } else if (a.write) {
            state = idle;  // the next configuration or the restore
        } else if (a.addr == 2 && state == polling) {
            ++polls.back();
        }
    }
    return polls;
}

std::string detect(int handle, int timeout, int *result) {
    return captureStdout([&] { *result = CanDetectBaudrate(handle, timeout); });
}

}  // namespace

TEST_F(Detect, QuietBusWithoutTimeReadsTheStatusOncePerTrial) {
    open({{0, 0}});
    int result = 0;
    EXPECT_EQ(detect(0, 0, &result), "");
    EXPECT_EQ(result, PCI5C3A_BAUD_NONE);
    EXPECT_EQ(pollsPerTrial(), std::vector<int>(4, 1));

    // The call starts by reading the mode and writing listen-only mode.
    const auto accesses = vcard::register_accesses();
    ASSERT_GE(accesses.size(), 2u);
    EXPECT_FALSE(accesses[0].write);
    EXPECT_EQ(accesses[0].addr, 0u);
    EXPECT_TRUE(accesses[1].write);
    EXPECT_EQ(accesses[1].addr, 0u);
    EXPECT_EQ(accesses[1].data, 0x02);
}

TEST_F(Detect, TrialsGoFromTheFastestRateDown) {
    open({{0, 0}});
    int result = 0;
    detect(0, -5, &result);
    EXPECT_EQ(result, PCI5C3A_BAUD_NONE);
    std::vector<std::uint8_t> btr0;
    for (const auto &w : writes())
        if (w.addr == 6) btr0.push_back(w.data);
    EXPECT_EQ(btr0, (std::vector<std::uint8_t>{0x00, 0x00, 0x01, 0x03, 0x00}));  // 3, 2, 1, 0, restore
}

TEST_F(Detect, TrialLengthIsTheTimeoutInWholeSeconds) {
    open({{0, 0}});
    stepping = true;
    const std::pair<int, int> cases[] = {{0, 1},    {-1000, 1}, {1, 1},   {1000, 1},
                                         {1001, 2}, {2000, 2},  {2001, 3}};
    for (auto [timeout, polls] : cases) {
        vcard::trace_clear();
        int result = 0;
        detect(0, timeout, &result);
        EXPECT_EQ(result, PCI5C3A_BAUD_NONE);
        EXPECT_EQ(pollsPerTrial(), std::vector<int>(4, polls)) << "timeout " << timeout;
    }
}

TEST_F(Detect, StatusIsWrittenBackWithoutTheReceiveBit) {
    open({{0, 0}});
    vcard::force_read(0, REG_SR, {0x0D, 0x00, 0x4F});
    int result = 0;
    detect(0, 0, &result);
    std::vector<std::uint8_t> statusWrites;
    for (const auto &w : writes())
        if (w.addr == 2) statusWrites.push_back(w.data);
    ASSERT_EQ(statusWrites.size(), 4u);
    EXPECT_EQ(statusWrites[0], 0x0C);
    EXPECT_EQ(statusWrites[1], 0x4E);
}

TEST_F(Detect, BusOffEndsEveryTrialAtOnce) {
    open({{0, 0}});
    for (std::uint8_t status : {0x80, 0x81, 0xFF}) {
        vcard::trace_clear();
        vcard::force_read(0, REG_SR, {status}, true);
        int result = 0;
        EXPECT_EQ(detect(0, 3000, &result), "0x800x800x800x80");
        EXPECT_EQ(result, PCI5C3A_BAUD_NONE);
        EXPECT_EQ(CanGetIntStatusReg(0), status);
        EXPECT_EQ(pollsPerTrial(), std::vector<int>(4, 1));
    }
}

TEST_F(Detect, AMessageInTheFirstTrialFindsTheFastestRate) {
    open({{0, 0}});
    PORT_STRUCT saved = config(PCI5C3A_ID_STANDARD, 0x100, 0x0FF, PCI5C3A_BAUD_1M);
    saved.reserved[2] = 9;
    ASSERT_EQ(CanConfigPort(0, &saved), 0);
    vcard::trace_clear();
    vcard::force_read(0, REG_SR, {0x0C, 0x0D});
    int result = 0;
    EXPECT_EQ(detect(0, 0, &result), "");
    EXPECT_EQ(result, 3);
    EXPECT_EQ(CanGetIntStatusReg(0) & 0x01, 0x01);
    EXPECT_EQ(std::memcmp(&portStruct[0], &saved, sizeof saved), 0);
    EXPECT_EQ(pollsPerTrial(), std::vector<int>{1});
    EXPECT_EQ(writes().back(), (Write{REG_MOD, 0x08}));  // the mode found at entry
}

TEST_F(Detect, ThePortKeepsItsConfigurationAndMode) {
    open({{0, 0}});
    PORT_STRUCT saved = config(PCI5C3A_ID_EXTENDED, 0x1234567, 0xF, PCI5C3A_BAUD_250K);
    ASSERT_EQ(CanConfigPort(0, &saved), 0);
    ASSERT_EQ(_5C3A_Write(0, 0, 0x09), 0);  // listen-only can only be set from reset mode
    ASSERT_EQ(_5C3A_Write(0, 0, 0x0A), 0);  // listen-only with the single filter
    vcard::trace_clear();
    vcard::force_read(0, REG_SR, {0x0C, 0x0C, 0x0C, 0x0D});  // nothing at index 3, a message at 2
    int result = 0;
    detect(0, 0, &result);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(portStruct[0].baudrate, 1u);
    EXPECT_EQ(std::memcmp(&portStruct[0], &saved, sizeof saved), 0);
    EXPECT_EQ(vcard::peek(0, REG_BTR0), 0x01);
    EXPECT_EQ(vcard::peek(0, REG_BTR1), 0x1C);
    EXPECT_EQ(vcard::peek(0, REG_IER), 0x03);
    // The mode found at entry is written back last. (The controller takes the
    // listen-only bit only from reset mode, so it stays in normal mode.)
    EXPECT_EQ(writes().back(), (Write{REG_MOD, 0x0A}));
}

TEST_F(Detect, ClosedPortSendsNothingAndFails) {
    open({{0, 0}});
    int result = 0;
    detect(1, 0, &result);
    EXPECT_EQ(result, PCI5C3A_BAUD_NONE);
    EXPECT_EQ(canIntStatus[1], 0);
    EXPECT_EQ(requestCount(), 0u);
    for (int h : {-1, 8}) EXPECT_EQ(CanDetectBaudrate(h, 100000), PCI5C3A_BAUD_NONE);  // at once
}

// ---------------------------------------------------------------------------
// End to end: a remote node on the wire, at each of the four rates

class DetectRemote : public Detect, public ::testing::WithParamInterface<std::pair<unsigned, int>> {
protected:
    vcard::Config configuration() override {
        vcard::Config c;
        c.remote = vcard::RemoteNode{GetParam().first, 1};
        return c;
    }
};

TEST_P(DetectRemote, FindsTheRemoteNodesRate) {
    open({{0, 0}});
    vcard::trace_stop();  // detection polls as fast as it can
    const PORT_STRUCT before = portStruct[0];
    int result = 0;
    detect(0, 1000, &result);
    EXPECT_EQ(result, GetParam().second);
    EXPECT_EQ(std::memcmp(&portStruct[0], &before, sizeof before), 0);
    EXPECT_EQ(vcard::peek(0, REG_BTR0), 0x00);  // back at the configured 1 Mbit/s
    EXPECT_EQ(vcard::peek(0, REG_BTR1), 0x14);
    EXPECT_EQ(vcard::peek(0, REG_MOD), 0x08);
}

INSTANTIATE_TEST_SUITE_P(Rates, DetectRemote,
                         ::testing::Values(std::pair{1000000u, 3}, std::pair{500000u, 2},
                                           std::pair{250000u, 1}, std::pair{125000u, 0}),
                         [](const auto &info) { return std::to_string(info.param.first); });
