// SPDX-License-Identifier: MIT
// Frames between CAN_PACKET and SocketCAN, and which frames from the
// interface the card can send.
#include <gtest/gtest.h>

#include <cstring>

#include "frames.h"

using gateway::FromInterface;
using gateway::sort_from_interface;
using gateway::to_card;
using gateway::to_interface;

namespace {

CAN_PACKET packet(unsigned id, unsigned char rtr, unsigned char len) {
    CAN_PACKET p{};
    p.id = id;
    p.rtr = rtr;
    p.len = len;
    for (int i = 0; i < 8; ++i) p.data[i] = static_cast<unsigned char>(0xA0 + i);
    return p;
}

canfd_frame classic(canid_t id, unsigned char len) {
    canfd_frame f{};
    f.can_id = id;
    f.len = len;
    for (int i = 0; i < 8; ++i) f.data[i] = static_cast<unsigned char>(i + 1);
    return f;
}

}  // namespace

TEST(Frames, CardToInterface) {
    auto f = to_interface(packet(0x123, 0, 3), false);
    EXPECT_EQ(f.can_id, 0x123U);
    EXPECT_EQ(f.len, 3);
    EXPECT_EQ(f.data[2], 0xA2);
    EXPECT_EQ(f.data[3], 0);  // bytes beyond the length stay 0

    f = to_interface(packet(0x1ABCDEF0, 0, 8), true);
    EXPECT_EQ(f.can_id, 0x1ABCDEF0U | CAN_EFF_FLAG);

    // A remote frame keeps its length code and carries no data.
    f = to_interface(packet(0x7FF, 1, 5), false);
    EXPECT_EQ(f.can_id, 0x7FFU | CAN_RTR_FLAG);
    EXPECT_EQ(f.len, 5);
    EXPECT_EQ(f.data[0], 0);

    // Identifier bits beyond the format cut off; a length above 8 as 8.
    f = to_interface(packet(0xFFFFFFFF, 0, 15), false);
    EXPECT_EQ(f.can_id, CAN_SFF_MASK);
    EXPECT_EQ(f.len, 8);
}

TEST(Frames, WhatTheCardCanSend) {
    EXPECT_EQ(sort_from_interface(classic(0x123, 2), CAN_MTU, false), FromInterface::Send);
    EXPECT_EQ(sort_from_interface(classic(0x123 | CAN_EFF_FLAG, 2), CAN_MTU, true), FromInterface::Send);
    EXPECT_EQ(sort_from_interface(classic(0x123 | CAN_EFF_FLAG, 2), CAN_MTU, false),
              FromInterface::OtherKind);
    EXPECT_EQ(sort_from_interface(classic(0x123, 2), CAN_MTU, true), FromInterface::OtherKind);
    EXPECT_EQ(sort_from_interface(classic(0x123, 2), CANFD_MTU, false), FromInterface::CanFd);
    EXPECT_EQ(sort_from_interface(classic(CAN_ERR_FLAG | 0x80, 8), CAN_MTU, false),
              FromInterface::ErrorFrame);
    EXPECT_EQ(sort_from_interface(classic(0x123, 9), CAN_MTU, false), FromInterface::Malformed);
    EXPECT_EQ(sort_from_interface(classic(0x123, 2), 7, false), FromInterface::Malformed);
}

TEST(Frames, InterfaceToCard) {
    auto p = to_card(classic(0x1FFFFFFF | CAN_EFF_FLAG, 4));
    EXPECT_EQ(p.id, 0x1FFFFFFFU);
    EXPECT_EQ(p.rtr, 0);
    EXPECT_EQ(p.len, 4);
    EXPECT_EQ(p.data[3], 4);
    EXPECT_EQ(p.data[4], 0);

    p = to_card(classic(0x321 | CAN_RTR_FLAG, 6));
    EXPECT_EQ(p.id, 0x321U);
    EXPECT_EQ(p.rtr, 1);
    EXPECT_EQ(p.len, 6);
    EXPECT_EQ(p.data[0], 0);
    const unsigned char zeros[10] = {};
    EXPECT_EQ(std::memcmp(p.reserved, zeros, sizeof zeros), 0);
}
