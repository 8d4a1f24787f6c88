/* SPDX-License-Identifier: MIT */
// vcard_config.h - the pieces of the configuration's parsing that the rest of
// the test interface shares (vcard_config.cpp reads the environment).
#pragma once

#include <string>

namespace vcard::detail {

bool parse_bitrate(const std::string &text, unsigned *bitrate);
// A bit rate whose bit time a controller can be programmed to.
bool valid_bitrate(unsigned bitrate);
// A name the kernel would take for a network interface.
bool valid_interface_name(const std::string &name);
// The accepted forms of PCI5C3A_VCARD_SOCKETCAN, for messages.
const char *socketcan_forms();
// A value as it appears in a message: in double quotes, control characters
// escaped, cut short when very long, so that the message stays one line.
std::string quote(const std::string &value);

}  // namespace vcard::detail
