/* SPDX-License-Identifier: MIT */
// The gateway at run time: ports and interfaces opened, then the poll loop
// until a stop signal.
#ifndef PCI5C3A_GATEWAY_GATEWAY_H
#define PCI5C3A_GATEWAY_GATEWAY_H

#include <string>

#include "options.h"

namespace gateway {

inline constexpr const char *kProgram = "pci5c3a-gateway";

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUnusable = 1;  // a port, card or interface
inline constexpr int kExitUsage = 2;

// Runs until SIGINT or SIGTERM (kExitOk) or until something it needs fails
// (kExitUnusable, after one line on standard error).
int run(const Options &options);

// One line on standard error, after the program's name.
void say(const std::string &line);

}  // namespace gateway

#endif
