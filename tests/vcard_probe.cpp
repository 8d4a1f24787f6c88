// SPDX-License-Identifier: MIT
// A program that knows nothing of the virtual card: it opens port 0 of card 0
// through the card library and prints the controller's error warning limit.
// Run under with-virtual-card, it shows that the launcher put the virtual
// card under an unchanged program. Exits with the status given as argument,
// or 99 when the card cannot be opened.
#include <cstdio>
#include <cstdlib>

#include "pci_5C3A.h"

int main(int argc, char **argv) {
    const int handle = CanOpenDriver(0, 0);
    if (handle < 0) return 99;
    std::printf("warning limit %d\n", CanGetErrorWarningLimit(handle));
    CanCloseDriver(handle);
    return argc > 1 ? std::atoi(argv[1]) : 0;
}
