// SPDX-License-Identifier: MIT
// pci5c3a-gateway: mirrors ports of 5C3A CAN cards onto SocketCAN interfaces.
#include <cstdio>
#include <string_view>
#include <vector>

#include "gateway.h"
#include "options.h"

int main(int argc, char **argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto parsed = gateway::parse_arguments(args);
    if (!parsed.options) {
        std::fprintf(stderr, "%s: %s\n", gateway::kProgram, parsed.error.c_str());
        return gateway::kExitUsage;
    }
    if (parsed.options->help) {
        std::fputs(gateway::usage().c_str(), stdout);
        return gateway::kExitOk;
    }
    if (parsed.options->version) {
        std::printf("%s %s\n", gateway::kProgram, PCI5C3A_VERSION);
        return gateway::kExitOk;
    }
    return gateway::run(*parsed.options);
}
