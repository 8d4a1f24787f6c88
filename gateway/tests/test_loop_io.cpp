// SPDX-License-Identifier: MIT
// The poll loop's system-call side that needs no CAN socket: the receive
// signals read in bulk from the signalfd, and frames written several per
// call (a datagram socket pair stands in for the CAN socket).
#include <gtest/gtest.h>
#include <linux/can.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "interface.h"
#include "pci_5C3A_ioctl.h"
#include "wakeup.h"

namespace {

using gateway::ReceiveSignals;

// The receive signals go to this thread (signalfd reads those too), so that
// no other thread of the test program can take one.
void raise_here(int sig, int times) {
    for (int i = 0; i < times; ++i) ASSERT_EQ(pthread_kill(pthread_self(), sig), 0);
}

TEST(ReceiveSignals, AllReadInBulkAndSortedByPort) {
    sigset_t before;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    std::string error;
    const int fd = gateway::open_receive_signals(error);
    ASSERT_GE(fd, 0) << error;

    ReceiveSignals seen;
    EXPECT_FALSE(gateway::read_receive_signals(fd, seen));  // nothing yet, and no wait

    // More than one read's worth, one port only.
    raise_here(PCI5C3A_SIG_PORT0, 150);
    seen = {};
    EXPECT_TRUE(gateway::read_receive_signals(fd, seen));
    EXPECT_TRUE(seen.port0);
    EXPECT_FALSE(seen.port1);
    seen = {};
    EXPECT_FALSE(gateway::read_receive_signals(fd, seen)) << "signals left after the read";

    raise_here(PCI5C3A_SIG_PORT1, 1);
    seen = {};
    EXPECT_TRUE(gateway::read_receive_signals(fd, seen));
    EXPECT_FALSE(seen.port0);
    EXPECT_TRUE(seen.port1);

    raise_here(PCI5C3A_SIG_PORT1, 3);
    raise_here(PCI5C3A_SIG_PORT0, 2);
    seen = {};
    EXPECT_TRUE(gateway::read_receive_signals(fd, seen));
    EXPECT_TRUE(seen.port0 && seen.port1);

    close(fd);
    // Nothing is pending any more, so unblocking cannot end the program.
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

can_frame numbered(unsigned i) {
    can_frame f{};
    f.can_id = 0x100 + i;
    f.len = 2;
    f.data[0] = static_cast<__u8>(i);
    f.data[1] = static_cast<__u8>(i >> 8);
    return f;
}

struct Pair {
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, fd), 0); }
    ~Pair() {
        for (const int f : fd)
            if (f >= 0) close(f);
    }
    int fd[2] = {-1, -1};
};

TEST(WriteFrames, ManyBatchesArriveWholeAndInOrder) {
    Pair pair;
    std::vector<can_frame> frames;
    for (unsigned i = 0; i < 75; ++i) frames.push_back(numbered(i));  // not a multiple of a batch
    bool gone = false;
    EXPECT_EQ(gateway::write_frames(pair.fd[0], frames.data(), frames.size(), gone), frames.size());
    EXPECT_FALSE(gone);
    for (unsigned i = 0; i < frames.size(); ++i) {
        // Room for more than a frame: each datagram must be one frame.
        unsigned char bytes[sizeof(can_frame) + 8];
        ASSERT_EQ(read(pair.fd[1], bytes, sizeof bytes), static_cast<ssize_t>(sizeof(can_frame)))
            << "frame " << i;
        can_frame got{};
        std::memcpy(&got, bytes, sizeof got);
        EXPECT_EQ(got.can_id, 0x100 + i);
        EXPECT_EQ(got.data[0] | (got.data[1] << 8), static_cast<int>(i));
    }
    can_frame extra{};
    EXPECT_LT(read(pair.fd[1], &extra, sizeof extra), 0);
    EXPECT_EQ(gateway::write_frames(pair.fd[0], frames.data(), 0, gone), 0U);
}

TEST(WriteFrames, RefusedFramesAreLostWithoutHanging) {
    const std::vector<can_frame> frames{numbered(1), numbered(2), numbered(3)};
    bool gone = false;
    {
        // No receiver any more: every frame refused at once.
        Pair pair;
        close(pair.fd[1]);
        pair.fd[1] = -1;
        EXPECT_EQ(gateway::write_frames(pair.fd[0], frames.data(), frames.size(), gone), 0U);
        EXPECT_FALSE(gone);
    }
    {
        // A full queue: each frame gets its short wait, then is lost.
        Pair pair;
        const can_frame filler = numbered(0);
        int filled = 0;
        while (filled < 100000 && write(pair.fd[0], &filler, sizeof filler) > 0) ++filled;
        ASSERT_EQ(errno, EAGAIN) << "the queue took " << filled << " frames and was not full";
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(gateway::write_frames(pair.fd[0], frames.data(), frames.size(), gone), 0U);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_FALSE(gone);
    }
}

}  // namespace
