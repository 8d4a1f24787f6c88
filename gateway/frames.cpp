// SPDX-License-Identifier: MIT
#include "frames.h"

#include <algorithm>
#include <cstring>

namespace gateway {

can_frame to_interface(const CAN_PACKET &packet, bool extended) {
    can_frame frame{};
    frame.can_id = extended ? ((packet.id & CAN_EFF_MASK) | CAN_EFF_FLAG) : (packet.id & CAN_SFF_MASK);
    // The driver reports length codes 9..15 from the bus as 8.
    frame.len = std::min<unsigned char>(packet.len, CAN_MAX_DLEN);
    if (packet.rtr != 0) {
        frame.can_id |= CAN_RTR_FLAG;
    } else {
        std::memcpy(frame.data, packet.data, frame.len);
    }
    return frame;
}

FromInterface sort_from_interface(const canfd_frame &frame, ssize_t bytes, bool extended) {
    if (bytes == static_cast<ssize_t>(CANFD_MTU)) return FromInterface::CanFd;
    if (bytes != static_cast<ssize_t>(CAN_MTU) || frame.len > CAN_MAX_DLEN) return FromInterface::Malformed;
    if ((frame.can_id & CAN_ERR_FLAG) != 0) return FromInterface::ErrorFrame;
    // A port serves one identifier kind: the driver sends every frame in
    // the port's format, so a frame of the other kind would go out with a
    // different identifier.
    if (((frame.can_id & CAN_EFF_FLAG) != 0) != extended) return FromInterface::OtherKind;
    return FromInterface::Send;
}

CAN_PACKET to_card(const canfd_frame &frame) {
    CAN_PACKET packet{};
    const bool extended = (frame.can_id & CAN_EFF_FLAG) != 0;
    packet.id = frame.can_id & (extended ? CAN_EFF_MASK : CAN_SFF_MASK);
    packet.len = std::min<unsigned char>(frame.len, CAN_MAX_DLEN);
    if ((frame.can_id & CAN_RTR_FLAG) != 0) {
        packet.rtr = 1;
    } else {
        std::memcpy(packet.data, frame.data, packet.len);
    }
    return packet;
}

}  // namespace gateway
