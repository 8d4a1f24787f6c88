/* SPDX-License-Identifier: MIT */
// Frames between the card's CAN_PACKET and SocketCAN's can_frame.
#ifndef PCI5C3A_GATEWAY_FRAMES_H
#define PCI5C3A_GATEWAY_FRAMES_H

#include <linux/can.h>
#include <sys/types.h>

#include "pci_5C3A.h"

namespace gateway {

// A frame the port received, as the interface gets it: CAN_EFF_FLAG on a
// 29-bit port, CAN_RTR_FLAG for a remote frame (its length code kept, no
// data), the data bytes of the length code.
can_frame to_interface(const CAN_PACKET &packet, bool extended);

// What becomes of a frame read from the interface.
enum class FromInterface { Send, OtherKind, CanFd, ErrorFrame, Malformed };

// `bytes` is what read() returned for a socket with CAN FD frames enabled.
FromInterface sort_from_interface(const canfd_frame &frame, ssize_t bytes, bool extended);

// The packet CanSendMsg gets for a frame sort_from_interface() let through.
CAN_PACKET to_card(const canfd_frame &frame);

}  // namespace gateway

#endif
