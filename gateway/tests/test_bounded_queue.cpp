// SPDX-License-Identifier: MIT
// The queue between the poll loop and a sender thread.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "bounded_queue.h"

using gateway::BoundedQueue;

TEST(BoundedQueue, FullRefusesWithoutWaiting) {
    BoundedQueue<int> q(3);
    EXPECT_TRUE(q.try_push(1));
    EXPECT_TRUE(q.try_push(2));
    EXPECT_TRUE(q.try_push(3));
    EXPECT_FALSE(q.try_push(4));
    EXPECT_EQ(q.size(), 3U);
    EXPECT_EQ(q.pop(), 1);
    EXPECT_TRUE(q.try_push(5));
    EXPECT_EQ(q.pop(), 2);
    EXPECT_EQ(q.pop(), 3);
    EXPECT_EQ(q.pop(), 5);
}

TEST(BoundedQueue, CloseWakesTheConsumerAndLeavesTheRestForDiscard) {
    BoundedQueue<int> q(4);
    std::thread consumer([&] { EXPECT_FALSE(q.pop()); });
    q.close();
    consumer.join();
    EXPECT_FALSE(q.try_push(1));

    BoundedQueue<int> r(4);
    r.try_push(1);
    r.try_push(2);
    r.close();
    EXPECT_FALSE(r.pop());
    EXPECT_EQ(r.discard(), 2U);
    EXPECT_EQ(r.size(), 0U);
}

TEST(BoundedQueue, OrderKeptAcrossThreadsAndEveryRefusalCounted) {
    constexpr int kCount = 20000;
    BoundedQueue<int> q(16);
    std::vector<int> got;
    std::thread consumer([&] {
        while (auto v = q.pop()) got.push_back(*v);
    });
    int refused = 0;
    for (int i = 0; i < kCount; ++i) {
        if (!q.try_push(i)) ++refused;
    }
    // Let the consumer empty the queue, then end it.
    while (q.size() != 0) std::this_thread::yield();
    q.close();
    consumer.join();
    EXPECT_EQ(static_cast<int>(got.size()) + refused, kCount);
    for (std::size_t i = 1; i < got.size(); ++i) ASSERT_LT(got[i - 1], got[i]);
}
