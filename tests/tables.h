/* SPDX-License-Identifier: MIT */
// The library's tables as one value, and the rules they keep whatever the
// callers and the driver do. Shared by the fault-injection matrix and the
// fuzzer: a call's checker copies the tables before the call, applies the
// call's documented effect to the copy, and compares it with the tables
// after the call.
#pragma once

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "pci_5C3A.h"
#include "pci_5C3A_ioctl.h"

namespace test {

constexpr unsigned short kInstalled = 0x5C3A;

struct Snapshot {
    PCI_INFO info[PCI5C3A_MAX_CARDS];
    int installRef[PCI5C3A_MAX_HANDLES];
    PORT_STRUCT ports[PCI5C3A_MAX_HANDLES];
    int totalCards;
    unsigned char leds[PCI5C3A_MAX_CARDS];
    unsigned char intStatus[PCI5C3A_MAX_HANDLES];
    int ledAddr;
    unsigned short major, minor;
    int initFlag;
};

inline Snapshot take() {
    Snapshot s;
    std::memset(&s, 0, sizeof s);
    std::memcpy(s.info, pci_Info_5C3A, sizeof s.info);
    std::memcpy(s.installRef, InstallRef, sizeof s.installRef);
    std::memcpy(s.ports, portStruct, sizeof s.ports);
    s.totalCards = totalCards;
    std::memcpy(s.leds, LEDStatus, sizeof s.leds);
    std::memcpy(s.intStatus, canIntStatus, sizeof s.intStatus);
    s.ledAddr = LED_ADDR_START;
    s.major = majorVersion;
    s.minor = minorVersion;
    s.initFlag = initFlag;
    return s;
}

// The tables as they are when the library is loaded; signals 63 and 62 back
// to their default disposition, as in a new process.
inline void resetLibrary() {
    std::memset(pci_Info_5C3A, 0, sizeof pci_Info_5C3A);
    std::memset(InstallRef, 0, sizeof InstallRef);
    std::memset(portStruct, 0, sizeof portStruct);
    std::memset(LEDStatus, 0, sizeof LEDStatus);
    std::memset(canIntStatus, 0, sizeof canIntStatus);
    totalCards = 0;
    LED_ADDR_START = PCI5C3A_LED_ADDR;
    majorVersion = 0;
    minorVersion = 4;
    initFlag = 0;
    signal(PCI5C3A_SIG_PORT0, SIG_DFL);
    signal(PCI5C3A_SIG_PORT1, SIG_DFL);
}

inline bool installed(const Snapshot &s, int card) { return s.info[card].magic == kInstalled; }

// Rules that hold at every moment, from any history of calls.
inline std::string sane(const Snapshot &s) {
    char why[160];
    int cards = 0;
    for (int c = 0; c < PCI5C3A_MAX_CARDS; ++c) {
        const PCI_INFO &i = s.info[c];
        if (i.magic != 0 && i.magic != kInstalled) {
            std::snprintf(why, sizeof why, "card %d: magic 0x%x", c, i.magic);
            return why;
        }
        if (i.sigReady > 1 || (i.magic == 0 && i.sigReady != 0)) {
            std::snprintf(why, sizeof why, "card %d: sigReady %d with magic 0x%x", c, i.sigReady, i.magic);
            return why;
        }
        if (installed(s, c) && i.fd < 0) {
            std::snprintf(why, sizeof why, "card %d: installed with descriptor %d", c, i.fd);
            return why;
        }
        cards += installed(s, c);
    }
    // Only installations that also set the signals up count.
    if (s.totalCards < 0 || s.totalCards > cards) {
        std::snprintf(why, sizeof why, "totalCards %d with %d cards installed", s.totalCards, cards);
        return why;
    }
    for (int h = 0; h < PCI5C3A_MAX_HANDLES; ++h) {
        if (s.installRef[h] != 0 && s.installRef[h] != 1) {
            std::snprintf(why, sizeof why, "InstallRef[%d] = %d", h, s.installRef[h]);
            return why;
        }
        if (s.installRef[h] == 1 && !installed(s, h / PCI5C3A_PORTS_PER_CARD)) {
            std::snprintf(why, sizeof why, "handle %d open on a card that is not installed", h);
            return why;
        }
        // Only accepted configurations are ever stored.
        if (s.ports[h].mode > PCI5C3A_ID_EXTENDED || s.ports[h].baudrate > PCI5C3A_BAUD_USER) {
            std::snprintf(why, sizeof why, "portStruct[%d]: mode %u, baudrate %u", h, s.ports[h].mode,
                          s.ports[h].baudrate);
            return why;
        }
    }
    if (s.ledAddr != PCI5C3A_LED_ADDR || s.major != 0 || s.minor != 4 || s.initFlag != 0)
        return "constant tables changed";
    return "";
}

// Signal actions field by field: struct sigaction has padding on x86_64.
inline bool sameAction(const struct sigaction &a, const struct sigaction &b) {
    return a.sa_handler == b.sa_handler && a.sa_flags == b.sa_flags &&
           std::memcmp(&a.sa_mask, &b.sa_mask, sizeof a.sa_mask) == 0 && a.sa_restorer == b.sa_restorer;
}

// The first difference between what the tables should be and what they are,
// named by table and index; empty when they agree.
inline std::string difference(const Snapshot &want, const Snapshot &got) {
    char why[200];
    for (int c = 0; c < PCI5C3A_MAX_CARDS; ++c) {
        const PCI_INFO &w = want.info[c], &g = got.info[c];
        if (w.magic != g.magic || w.sigReady != g.sigReady || w.fd != g.fd) {
            std::snprintf(why, sizeof why,
                          "pci_Info_5C3A[%d]: magic 0x%x sigReady %d fd %d, expected 0x%x %d %d", c, g.magic,
                          g.sigReady, g.fd, w.magic, w.sigReady, w.fd);
            return why;
        }
        if (!sameAction(w.act0, g.act0) || !sameAction(w.act1, g.act1)) {
            std::snprintf(why, sizeof why, "pci_Info_5C3A[%d]: signal actions differ", c);
            return why;
        }
        if (want.leds[c] != got.leds[c]) {
            std::snprintf(why, sizeof why, "LEDStatus[%d] = 0x%02x, expected 0x%02x", c, got.leds[c],
                          want.leds[c]);
            return why;
        }
    }
    if (want.totalCards != got.totalCards) {
        std::snprintf(why, sizeof why, "totalCards = %d, expected %d", got.totalCards, want.totalCards);
        return why;
    }
    for (int h = 0; h < PCI5C3A_MAX_HANDLES; ++h) {
        if (want.installRef[h] != got.installRef[h]) {
            std::snprintf(why, sizeof why, "InstallRef[%d] = %d, expected %d", h, got.installRef[h],
                          want.installRef[h]);
            return why;
        }
        if (std::memcmp(&want.ports[h], &got.ports[h], sizeof(PORT_STRUCT)) != 0) {
            const PORT_STRUCT &g = got.ports[h], &w = want.ports[h];
            std::snprintf(why, sizeof why,
                          "portStruct[%d] = {%u, 0x%x, 0x%x, %u, ...}, expected {%u, 0x%x, 0x%x, %u, ...}", h,
                          g.mode, g.accCode, g.accMask, g.baudrate, w.mode, w.accCode, w.accMask, w.baudrate);
            return why;
        }
        if (want.intStatus[h] != got.intStatus[h]) {
            std::snprintf(why, sizeof why, "canIntStatus[%d] = 0x%02x, expected 0x%02x", h, got.intStatus[h],
                          want.intStatus[h]);
            return why;
        }
    }
    if (want.ledAddr != got.ledAddr || want.major != got.major || want.minor != got.minor ||
        want.initFlag != got.initFlag)
        return "LED_ADDR_START, the version or initFlag changed";
    return "";
}

}  // namespace test
