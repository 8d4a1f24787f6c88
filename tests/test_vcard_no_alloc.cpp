// SPDX-License-Identifier: MIT
// The virtual card serves requests without allocating, as a kernel driver
// does: an application's signal handler may call the library while the
// thread it interrupted holds the allocator's lock.
#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>

#include "alloc_counter.h"
#include "support.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<int> allocations{0};
}  // namespace

void allocationSeen() {
    if (counting) ++allocations;
}

using namespace test;

namespace {

class NoAlloc : public Card {
protected:
    vcard::Config configuration() override {
        vcard::Config c;
        c.remote = vcard::RemoteNode{1000000, 1};
        return c;
    }
};

}  // namespace

TEST_F(NoAlloc, RequestsFramesAndTheRemoteNodeAllocateNothing) {
    open({{0, 0}, {0, 1}});
    vcard::trace_stop();
    CAN_PACKET p = packet(0x123, 8);
    PORT_STRUCT ext = config(1, 0, 0xFFFFFFFF, 3);
    PORT_STATUS st;

    ASSERT_TRUE(installAllocationCounter());
    counting = true;
    for (int round = 0; round < 20; ++round) {
        CanSendMsg(0, &p);
        CanSendMsg(1, &p);
        CanGetRcvCnt(1);
        while (CanRcvMsg(1, &p) == 0) {}
        CanGetPortStatus(0, &st);
        CanClearRxBuffer(0);
        CanGetTxErrorCount(0);
    }
    CanConfigPort(1, &ext);
    CanDetectBaudrate(0, 0);
    usleep(20000);  // remote node periods
    counting = false;
    EXPECT_EQ(allocations, 0);
}
