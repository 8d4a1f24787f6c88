// SPDX-License-Identifier: MIT
// Controller state from the status register and counters, and the error
// frames in linux/can/error.h's layout.
#include <gtest/gtest.h>
#include <linux/can/error.h>

#include "controller_state.h"
#include "sja1000.h"

using gateway::classify;
using gateway::ControllerReading;
using gateway::ErrorState;
using gateway::state_change_frame;
using gateway::state_change_frames;

TEST(ControllerState, Classification) {
    EXPECT_EQ(classify({SR_TBS, 0, 0}), ErrorState::Active);
    EXPECT_EQ(classify({SR_TBS | SR_ES, 0, 96}), ErrorState::Warning);
    EXPECT_EQ(classify({SR_ES, 127, 0}), ErrorState::Warning);
    EXPECT_EQ(classify({SR_ES, 128, 0}), ErrorState::Passive);
    EXPECT_EQ(classify({SR_ES, 0, 128}), ErrorState::Passive);
    // A warning limit above 127: passive without ES.
    EXPECT_EQ(classify({0, 0, 200}), ErrorState::Passive);
    EXPECT_EQ(classify({SR_BS | SR_ES, 0, 127}), ErrorState::BusOff);
}

TEST(ControllerState, NoFrameWithoutChange) {
    EXPECT_FALSE(state_change_frame(ErrorState::Passive, ErrorState::Passive, {}));
    EXPECT_TRUE(state_change_frames(ErrorState::Active, ErrorState::Active, {}).empty());
}

TEST(ControllerState, WarningAndPassiveOfTheHigherCounter) {
    const ControllerReading tx{SR_ES, 3, 100};
    auto f = state_change_frame(ErrorState::Active, ErrorState::Warning, tx);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->can_id, CAN_ERR_FLAG | CAN_ERR_CRTL);
    EXPECT_EQ(f->len, CAN_ERR_DLC);
    EXPECT_EQ(f->data[1], CAN_ERR_CRTL_TX_WARNING);
    EXPECT_EQ(f->data[6], 100);
    EXPECT_EQ(f->data[7], 3);

    f = state_change_frame(ErrorState::Warning, ErrorState::Passive, {SR_ES, 130, 5});
    EXPECT_EQ(f->data[1], CAN_ERR_CRTL_RX_PASSIVE);
    EXPECT_EQ(f->data[6], 5);
    EXPECT_EQ(f->data[7], 130);

    // Equal counters: both directions.
    f = state_change_frame(ErrorState::Active, ErrorState::Warning, {SR_ES, 96, 96});
    EXPECT_EQ(f->data[1], CAN_ERR_CRTL_TX_WARNING | CAN_ERR_CRTL_RX_WARNING);
    for (const int i : {0, 2, 3, 4, 5}) EXPECT_EQ(f->data[i], 0) << i;
}

TEST(ControllerState, BackToActive) {
    const auto f = state_change_frame(ErrorState::Passive, ErrorState::Active, {SR_TBS, 0, 20});
    EXPECT_EQ(f->can_id, CAN_ERR_FLAG | CAN_ERR_CRTL);
    EXPECT_EQ(f->data[1], CAN_ERR_CRTL_ACTIVE);
    EXPECT_EQ(f->data[6], 20);
}

TEST(ControllerState, BusOffAndRestart) {
    auto f = state_change_frame(ErrorState::Passive, ErrorState::BusOff, {SR_BS, 0, 127});
    EXPECT_EQ(f->can_id, CAN_ERR_FLAG | CAN_ERR_BUSOFF);
    EXPECT_EQ(f->data[1], 0);
    EXPECT_EQ(f->data[6], 127);

    f = state_change_frame(ErrorState::BusOff, ErrorState::Active, {SR_TBS, 0, 0});
    EXPECT_EQ(f->can_id, CAN_ERR_FLAG | CAN_ERR_RESTARTED | CAN_ERR_CRTL);
    EXPECT_EQ(f->data[1], CAN_ERR_CRTL_ACTIVE);
}

TEST(ControllerState, ARiseReportsEveryStateOnTheWay) {
    // A lone port: no acknowledgement, +8 per attempt, found at 128 by the
    // next poll. Warning first, then passive, same counters.
    const ControllerReading lone{SR_ES, 0, 128};
    auto frames = state_change_frames(ErrorState::Active, ErrorState::Passive, lone);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0].data[1], CAN_ERR_CRTL_TX_WARNING);
    EXPECT_EQ(frames[1].data[1], CAN_ERR_CRTL_TX_PASSIVE);
    EXPECT_EQ(frames[1].data[6], 128);

    frames = state_change_frames(ErrorState::Active, ErrorState::BusOff, {SR_BS, 0, 127});
    ASSERT_EQ(frames.size(), 3U);
    EXPECT_NE(frames[2].can_id & CAN_ERR_BUSOFF, 0U);

    // A fall goes straight to where the controller ended up.
    frames = state_change_frames(ErrorState::BusOff, ErrorState::Active, {SR_TBS, 0, 0});
    ASSERT_EQ(frames.size(), 1U);
    EXPECT_NE(frames[0].can_id & CAN_ERR_RESTARTED, 0U);
}
