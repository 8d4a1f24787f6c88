// SPDX-License-Identifier: MIT
// libpci_5C3A: user-space access to the 5C3A two-port CAN card.
//
// Free functions over static tables, no heap, no C++ runtime. Every request
// to the card's kernel driver goes through driverRequest(); every controller
// register access goes through _5C3A_Read/_5C3A_Write. The file follows the
// life of a port: tables, driver requests, open/close, configuration,
// transfer, buffer control, status, events, detection.

#include "pci_5C3A.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "pci_5C3A_ioctl.h"
#include "sja1000.h"

// ---------------------------------------------------------------------------
// Record layouts: shared with 32-bit applications and with the driver.

static_assert(sizeof(PORT_STRUCT) == 24 && alignof(PORT_STRUCT) == 4);
static_assert(offsetof(PORT_STRUCT, mode) == 0 && offsetof(PORT_STRUCT, accCode) == 4 &&
              offsetof(PORT_STRUCT, accMask) == 8 && offsetof(PORT_STRUCT, baudrate) == 12 &&
              offsetof(PORT_STRUCT, brp) == 16 && offsetof(PORT_STRUCT, tseg1) == 17 &&
              offsetof(PORT_STRUCT, tseg2) == 18 && offsetof(PORT_STRUCT, sjw) == 19 &&
              offsetof(PORT_STRUCT, reserved) == 20);
static_assert(sizeof(PORT_STATUS) == 28 && offsetof(PORT_STATUS, reserved) == 20 &&
              offsetof(PORT_STATUS, status) == 24);
static_assert(sizeof(CAN_PACKET) == 24 && alignof(CAN_PACKET) == 4);
static_assert(offsetof(CAN_PACKET, id) == 0 && offsetof(CAN_PACKET, rtr) == 4 &&
              offsetof(CAN_PACKET, len) == 5 && offsetof(CAN_PACKET, data) == 6 &&
              offsetof(CAN_PACKET, reserved) == 14);
static_assert(sizeof(REG_ACCESS) == 12 && offsetof(REG_ACCESS, addr) == 4 && offsetof(REG_ACCESS, data) == 8);
static_assert(sizeof(MODE_SET) == 8 && offsetof(MODE_SET, mode) == 4);
static_assert(sizeof(MSG_XFER) == 32 && offsetof(MSG_XFER, reserved) == 4 && offsetof(MSG_XFER, packet) == 8);
static_assert(sizeof(RCV_COUNT) == 8 && offsetof(RCV_COUNT, count) == 4);
static_assert(offsetof(PCI_INFO, magic) == 0 && offsetof(PCI_INFO, sigReady) == 2 &&
              offsetof(PCI_INFO, fd) == 4 && offsetof(PCI_INFO, act0) == 8);
#if defined(__i386__)
static_assert(sizeof(struct sigaction) == 140);
static_assert(offsetof(PCI_INFO, act1) == 148 && sizeof(PCI_INFO) == 288);
#elif defined(__x86_64__)
static_assert(sizeof(struct sigaction) == 152);
static_assert(offsetof(PCI_INFO, act1) == 160 && sizeof(PCI_INFO) == 312);
#else
#error "the card's record layouts are fixed for i386 and x86_64 only"
#endif

// The request codes are the _IO/_IOR/_IOW encodings of the records' sizes.
static_assert(REQ_EVENT_PORT0 == _IO(PCI5C3A_IOC_TYPE, 5));
static_assert(REQ_EVENT_PORT1 == _IO(PCI5C3A_IOC_TYPE, 6));
static_assert(REQ_PORT_CLOSE == _IOW(PCI5C3A_IOC_TYPE, 0x13, REG_ACCESS));
static_assert(REQ_LAST_CLOSE == _IOW(PCI5C3A_IOC_TYPE, 0x14, REG_ACCESS));
static_assert(REQ_SET_MODE == _IOW(PCI5C3A_IOC_TYPE, 0x15, MODE_SET));
static_assert(REQ_REG_READ == _IOR(PCI5C3A_IOC_TYPE, 0x16, REG_ACCESS));
static_assert(REQ_REG_WRITE == _IOW(PCI5C3A_IOC_TYPE, 0x17, REG_ACCESS));
static_assert(REQ_SEND == _IOW(PCI5C3A_IOC_TYPE, 0x18, MSG_XFER));
static_assert(REQ_RECEIVE == _IOR(PCI5C3A_IOC_TYPE, 0x19, MSG_XFER));
static_assert(REQ_RCV_COUNT == _IOR(PCI5C3A_IOC_TYPE, 0x1A, RCV_COUNT));

// The public bit-rate indices are the rows of kBusTiming below.
static_assert(PCI5C3A_BAUD_125K == 0 && PCI5C3A_BAUD_250K == 1 && PCI5C3A_BAUD_500K == 2 &&
              PCI5C3A_BAUD_1M == 3 && PCI5C3A_BAUD_USER == 4);

// The result codes are part of the ABI: existing applications test the numbers.
constexpr bool resultIs(int name, int value) { return name == value; }
static_assert(resultIs(PCI5C3A_OK, 0) && resultIs(PCI5C3A_ERROR, -1) && resultIs(PCI5C3A_BAUD_NONE, -1));
static_assert(resultIs(PCI5C3A_INSTALL_NO_CARD, -1) && resultIs(PCI5C3A_INSTALL_NO_DEVICE, -2) &&
              resultIs(PCI5C3A_INSTALL_SIGACTION, -3));
static_assert(resultIs(PCI5C3A_EVENT_NOT_OPEN, -4) && resultIs(PCI5C3A_EVENT_DRIVER_REFUSED, -5) &&
              resultIs(PCI5C3A_EVENT_NO_OWNER, -6) && resultIs(PCI5C3A_EVENT_NO_HANDLER, -7) &&
              resultIs(PCI5C3A_EVENT_SIGACTION, -8));

// ---------------------------------------------------------------------------
// Tables. Process-wide, exported under these names for existing applications.

extern "C" {
PCI_INFO pci_Info_5C3A[PCI5C3A_MAX_CARDS];
int InstallRef[PCI5C3A_MAX_HANDLES];
PORT_STRUCT portStruct[PCI5C3A_MAX_HANDLES];
int totalCards;
unsigned char LEDStatus[PCI5C3A_MAX_CARDS];
unsigned char canIntStatus[PCI5C3A_MAX_HANDLES];
int LED_ADDR_START = PCI5C3A_LED_ADDR;
unsigned short majorVersion = 0;
unsigned short minorVersion = 4;
int initFlag = 0;
}

namespace {

constexpr unsigned short kInstalled = 0x5C3A;
constexpr int kPortOpen = 1;

// Release commands CanClearRxBuffer issues at most per call. The 64-byte
// receive FIFO holds at most 21 messages, so a controller still reporting
// messages after 64 releases is not going to stop.
constexpr int kMaxReleases = 64;

// Bus timing for the fixed bit-rate indices with the card's 16 MHz crystal:
// 125, 250, 500 kbit/s and 1 Mbit/s. PCI5C3A_BAUD_USER takes the caller's own
// values.
constexpr int kUserTiming = PCI5C3A_BAUD_USER;
struct BusTiming {
    unsigned char btr0, btr1;
};
constexpr BusTiming kBusTiming[kUserTiming] = {{0x03, 0x1C}, {0x01, 0x1C}, {0x00, 0x1C}, {0x00, 0x14}};

// Identifier modes of PORT_STRUCT.mode and MODE_SET.mode.
constexpr unsigned kStandardIds = PCI5C3A_ID_STANDARD;
constexpr unsigned kExtendedIds = PCI5C3A_ID_EXTENDED;

constexpr PORT_STRUCT kDefaultConfig = {kStandardIds, 0, 0x7FF, PCI5C3A_BAUD_1M, 0, 0, 0, 0, {0, 0, 0, 0}};

bool validCard(int card) { return card >= 0 && card < PCI5C3A_MAX_CARDS; }
bool validPort(int port) { return port >= 0 && port < PCI5C3A_PORTS_PER_CARD; }
bool validHandle(int handle) { return handle >= 0 && handle < PCI5C3A_MAX_HANDLES; }
int cardOf(int handle) { return handle / PCI5C3A_PORTS_PER_CARD; }
int portOf(int handle) { return handle % PCI5C3A_PORTS_PER_CARD; }
unsigned windowBase(int handle) { return static_cast<unsigned>(portOf(handle)) * PCI5C3A_PORT_WINDOW; }
bool cardInstalled(int card) { return validCard(card) && pci_Info_5C3A[card].magic == kInstalled; }
bool portOpen(int handle) { return validHandle(handle) && InstallRef[handle] == kPortOpen; }
unsigned char low8(unsigned value) { return static_cast<unsigned char>(value & 0xFF); }

// The one door to the kernel driver. A card that was never installed has no
// descriptor of its own (its fd field is 0, standard input), so nothing is
// sent there.
// A driver answering ENXIO has no such port: a one-channel board's port 1.
// One answering EADDRINUSE has the port as a network interface (its
// personality is netdev), so the character device may not touch it.
// CanOpenDriver looks at these after configuring the port it opens.
bool portMissing = false;
bool portIsInterface = false;

int driverRequest(int card, unsigned long request, void *record) {
    if (!cardInstalled(card)) return PCI5C3A_ERROR;
    const int result = ioctl(pci_Info_5C3A[card].fd, request, record);
    if (result < 0 && errno == ENXIO) portMissing = true;
    if (result < 0 && errno == EADDRINUSE) portIsInterface = true;
    return result;
}

}  // namespace

// ---------------------------------------------------------------------------
// Controller registers

extern "C" unsigned char _5C3A_Read(int handle, int reg) {
    // Any non-zero InstallRef counts as open here, as it always has: the table is exported.
    if (!validHandle(handle) || InstallRef[handle] == 0) return 0;
    REG_ACCESS access = {};
    access.addr = windowBase(handle) + static_cast<unsigned>(reg);
    driverRequest(cardOf(handle), REQ_REG_READ, &access);  // a failed read leaves data at 0
    return access.data;
}

extern "C" int _5C3A_Write(int handle, int reg, int value) {
    // Any non-zero InstallRef counts as open here, as it always has: the table is exported.
    if (!validHandle(handle) || InstallRef[handle] == 0) return PCI5C3A_ERROR;
    REG_ACCESS access = {};
    access.addr = windowBase(handle) + static_cast<unsigned>(reg);
    access.data = low8(static_cast<unsigned>(value));
    return driverRequest(cardOf(handle), REQ_REG_WRITE, &access);
}

// ---------------------------------------------------------------------------
// Cards and ports

extern "C" int _5C3A_InstallPCI(int card) {
    if (!validCard(card)) return PCI5C3A_INSTALL_NO_CARD;

    char path[32];
    snprintf(path, sizeof path, PCI5C3A_DEVICE_FORMAT, card);
    const int fd = open(path, O_RDWR);
    if (fd < 0) return PCI5C3A_INSTALL_NO_DEVICE;

    PCI_INFO &info = pci_Info_5C3A[card];
    memset(&info, 0, sizeof info);
    info.fd = fd;
    info.magic = kInstalled;

    // Without ownership of the device's notifications the card still works;
    // only receive-event signals are unavailable.
    if (fcntl(fd, F_SETOWN, getpid()) < 0) return PCI5C3A_OK;

    info.sigReady = 1;
    info.act0.sa_handler = SIG_IGN;
    info.act1.sa_handler = SIG_IGN;
    if (sigaction(PCI5C3A_SIG_PORT0, &info.act0, nullptr) < 0) return PCI5C3A_INSTALL_SIGACTION;
    if (sigaction(PCI5C3A_SIG_PORT1, &info.act1, nullptr) < 0) return PCI5C3A_INSTALL_SIGACTION;
    return PCI5C3A_OK;
}

extern "C" int CanOpenDriver(int card, int port) {
    if (validCard(card) && !validPort(port)) return PCI5C3A_ERROR;
    if (!validCard(card) || pci_Info_5C3A[card].magic == 0) {
        if (_5C3A_InstallPCI(card) != PCI5C3A_OK) {
            printf("Couldn't find PCI-5C3A card %d\n", card);
            return PCI5C3A_ERROR;
        }
        ++totalCards;
    }
    const int handle = card * PCI5C3A_PORTS_PER_CARD + port;
    InstallRef[handle] = kPortOpen;
    portMissing = false;
    portIsInterface = false;
    CanConfigPort(handle, &kDefaultConfig);
    // A port the board does not have, or one the driver gives to the
    // network stack, is not open: the configuration's requests were
    // refused, and every later call on it would be too.
    if (portMissing) {
        InstallRef[handle] = 0;
        printf("PCI-5C3A card %d has no port %d\n", card, port);
        return PCI5C3A_ERROR;
    }
    if (portIsInterface) {
        InstallRef[handle] = 0;
        printf(
            "PCI-5C3A card %d port %d is a network interface: to open it here, set the interface down "
            "and write chardev to /sys/class/pci5c3a/PCI5C3AW%d/port%d/personality\n",
            card, port, card, port);
        return PCI5C3A_ERROR;
    }
    return handle;
}

extern "C" int CanCloseDriver(int handle) {
    if (!portOpen(handle)) return PCI5C3A_ERROR;
    InstallRef[handle] = 0;

    const int card = cardOf(handle);
    REG_ACCESS closing = {};
    closing.addr = windowBase(handle);
    closing.data = 1;
    driverRequest(card, REQ_PORT_CLOSE, &closing);

    // Every handle of every card counts, whatever order cards were opened in.
    for (int other = 0; other < PCI5C3A_MAX_HANDLES; ++other)
        if (InstallRef[other] == kPortOpen) return PCI5C3A_OK;

    REG_ACCESS last = {};
    last.addr = static_cast<unsigned>(LED_ADDR_START);
    last.data = LED_AT_LAST_CLOSE;
    driverRequest(card, REQ_LAST_CLOSE, &last);
    return PCI5C3A_OK;
}

extern "C" int GetDriverVersion(void) {
    return static_cast<unsigned short>((majorVersion << 8) | minorVersion);
}

// ---------------------------------------------------------------------------
// Configuration

extern "C" int CanConfigPort(int handle, const PORT_STRUCT *cfg) {
    // A record that would be refused half-way is refused before the
    // controller is touched, so it never stays in reset mode.
    if (!portOpen(handle) || cfg == nullptr || cfg->mode > kExtendedIds || cfg->baudrate > kUserTiming)
        return PCI5C3A_ERROR;

    // The filter, bit timing and output control are writable only in reset
    // mode; interrupts stay off meanwhile.
    const unsigned char savedEnables = _5C3A_Read(handle, REG_IER);
    _5C3A_Write(handle, REG_IER, 0x00);
    _5C3A_Write(handle, REG_MOD, MOD_RM);
    _5C3A_Write(handle, REG_CDR, CDR_CARD);

    // Single acceptance filter. The remote-request bit is left "don't care"
    // so data and remote frames both pass.
    const unsigned code = cfg->accCode;
    const unsigned mask = cfg->accMask;
    if (cfg->mode == kStandardIds) {
        // Code/mask 2 and 3 compare the first two data bytes: accept any.
        _5C3A_Write(handle, REG_ACR2, 0x00);
        _5C3A_Write(handle, REG_ACR3, 0x00);
        _5C3A_Write(handle, REG_AMR2, 0xFF);
        _5C3A_Write(handle, REG_AMR3, 0xFF);
        _5C3A_Write(handle, REG_ACR0, low8(code >> 3));
        _5C3A_Write(handle, REG_ACR1, low8((code << 5) | AF_SFF_RTR));
        _5C3A_Write(handle, REG_AMR0, low8(mask >> 3));
        _5C3A_Write(handle, REG_AMR1, low8((mask << 5) | AF_SFF_RTR));
    } else {
        _5C3A_Write(handle, REG_ACR0, low8(code >> 21));
        _5C3A_Write(handle, REG_ACR1, low8(code >> 13));
        _5C3A_Write(handle, REG_ACR2, low8(code >> 5));
        _5C3A_Write(handle, REG_ACR3, low8(code << 3));
        _5C3A_Write(handle, REG_AMR0, low8(mask >> 21));
        _5C3A_Write(handle, REG_AMR1, low8(mask >> 13));
        _5C3A_Write(handle, REG_AMR2, low8(mask >> 5));
        _5C3A_Write(handle, REG_AMR3, low8((mask << 3) | AF_EFF_RTR));
    }

    if (cfg->baudrate == kUserTiming) {
        _5C3A_Write(handle, REG_BTR0, low8((static_cast<unsigned>(cfg->sjw) << BTR0_SJW_SHIFT) | cfg->brp));
        _5C3A_Write(handle, REG_BTR1,
                    low8((static_cast<unsigned>(cfg->tseg2) << BTR1_TSEG2_SHIFT) | cfg->tseg1));
    } else {
        _5C3A_Write(handle, REG_BTR0, kBusTiming[cfg->baudrate].btr0);
        _5C3A_Write(handle, REG_BTR1, kBusTiming[cfg->baudrate].btr1);
    }
    _5C3A_Write(handle, REG_OCR, OCR_CARD);

    // The driver frames packets with 11- or 29-bit identifiers by this.
    MODE_SET idMode = {};
    idMode.handle = handle;
    idMode.mode = cfg->mode;
    driverRequest(cardOf(handle), REQ_SET_MODE, &idMode);

    // Leaving reset mode in the same write selects the single filter.
    _5C3A_Write(handle, REG_MOD, MOD_AFM);
    _5C3A_Write(handle, REG_IER, savedEnables | IRQ_RI | IRQ_TI);

    memcpy(&portStruct[handle], cfg, sizeof(PORT_STRUCT));
    return PCI5C3A_OK;
}

extern "C" int CanGetPortStatus(int handle, PORT_STATUS *out) {
    // A closed port answers too, with its last record, as it always has.
    if (!validHandle(handle) || out == nullptr) return PCI5C3A_ERROR;
    memcpy(out, &portStruct[handle], sizeof(PORT_STRUCT));
    out->status = _5C3A_Read(handle, REG_SR);
    return PCI5C3A_OK;
}

// ---------------------------------------------------------------------------
// Message transfer

extern "C" int CanSendMsg(int handle, const CAN_PACKET *msg) {
    // The card, not the port, must be installed, as always: a closed port of an installed card still sends.
    if (!validHandle(handle) || msg == nullptr || !cardInstalled(cardOf(handle))) return PCI5C3A_ERROR;

    // Pace the sends: consecutive messages on any port are at least 1 ms apart.
    usleep(1000);

    MSG_XFER xfer = {};
    xfer.handle = handle;
    memcpy(&xfer.packet, msg, sizeof(CAN_PACKET));
    return driverRequest(cardOf(handle), REQ_SEND, &xfer) < 0 ? PCI5C3A_ERROR : PCI5C3A_OK;
}

extern "C" int CanRcvMsg(int handle, CAN_PACKET *msg) {
    if (msg == nullptr || !portOpen(handle)) return PCI5C3A_ERROR;

    MSG_XFER xfer = {};
    xfer.handle = handle;
    if (driverRequest(cardOf(handle), REQ_RECEIVE, &xfer) < 0) {
        memset(msg, 0, sizeof(CAN_PACKET));
        return PCI5C3A_ERROR;
    }
    memcpy(msg, &xfer.packet, sizeof(CAN_PACKET));
    return PCI5C3A_OK;
}

extern "C" int CanGetRcvCnt(int handle) {
    if (!portOpen(handle)) return PCI5C3A_ERROR;

    RCV_COUNT waiting = {};
    waiting.handle = handle;
    if (driverRequest(cardOf(handle), REQ_RCV_COUNT, &waiting) < 0) return PCI5C3A_ERROR;
    return waiting.count;
}

// ---------------------------------------------------------------------------
// Receive and buffer control. On a port that is not open the accessors send
// nothing and the write reports -1.

extern "C" int CanEnableReceive(int handle) {
    return _5C3A_Write(handle, REG_IER, _5C3A_Read(handle, REG_IER) | IRQ_RI);
}

extern "C" int CanDisableReceive(int handle) {
    return _5C3A_Write(handle, REG_IER, _5C3A_Read(handle, REG_IER) & ~IRQ_RI);
}

extern "C" int CanClearOverrun(int handle) {
    _5C3A_Write(handle, REG_CMR, CMD_CDO);
    return _5C3A_Write(handle, REG_IER, _5C3A_Read(handle, REG_IER) | IRQ_RI | IRQ_DOI);
}

extern "C" void CanClearRxBuffer(int handle) {
    if (!portOpen(handle)) return;
    for (int released = 0; released < kMaxReleases; ++released) {
        if (_5C3A_Read(handle, REG_RMC) == 0) return;
        _5C3A_Write(handle, REG_CMR, CMD_RRB);
    }
}

extern "C" void CanClearTxBuffer(int handle) {
    if (!portOpen(handle)) return;
    _5C3A_Write(handle, REG_CMR, CMD_AT);
}

// ---------------------------------------------------------------------------
// Error, status and LEDs

namespace {

int readRegister(int handle, int reg) {
    if (!portOpen(handle)) return PCI5C3A_ERROR;
    return _5C3A_Read(handle, reg);
}

// The warning limit and the error counters take writes only in reset mode:
// enter it for the one write, then put the mode back as it was.
int writeInResetMode(int handle, int reg, unsigned char value) {
    if (!portOpen(handle)) return PCI5C3A_ERROR;
    const unsigned char savedMode = _5C3A_Read(handle, REG_MOD);
    _5C3A_Write(handle, REG_MOD, savedMode | MOD_RM);
    _5C3A_Write(handle, reg, value);
    return _5C3A_Write(handle, REG_MOD, savedMode);
}

bool validLed(int led) { return led >= 0 && led < 32; }

}  // namespace

extern "C" int CanGetArbitrationLostBit(int handle) { return readRegister(handle, REG_ALC); }
extern "C" int CanGetErrorCode(int handle) { return readRegister(handle, REG_ECC); }
extern "C" int CanGetErrorWarningLimit(int handle) { return readRegister(handle, REG_EWLR); }
extern "C" int CanGetRxErrorCount(int handle) { return readRegister(handle, REG_RXERR); }
extern "C" int CanGetTxErrorCount(int handle) { return readRegister(handle, REG_TXERR); }

extern "C" int CanSetErrorWarningLimit(int handle, unsigned char limit) {
    return writeInResetMode(handle, REG_EWLR, limit);
}

extern "C" int CanSetTxErrorCount(int handle, unsigned char count) {
    return writeInResetMode(handle, REG_TXERR, count);
}

extern "C" int CanGetIntStatusReg(int handle) {
    // No open port needed, as always: it is the cached byte, no driver request.
    if (!validHandle(handle)) return PCI5C3A_ERROR;
    return canIntStatus[handle];
}

extern "C" int CanGetLedStatus(int card, int led) {
    if (!validCard(card) || !validLed(led)) return PCI5C3A_ERROR;
    return (LEDStatus[card] >> led) & 1;
}

extern "C" int CanSetLedStatus(int card, int led, int state) {
    if (!validCard(card) || !validLed(led) || !cardInstalled(card)) return PCI5C3A_ERROR;

    // The LED register holds one bit per LED; bits 8..31 give an empty mask.
    const unsigned char mask = low8(1u << led);
    if (state == 0) LEDStatus[card] &= low8(~mask);
    else if (state == 1) LEDStatus[card] |= mask;

    REG_ACCESS access = {};
    access.addr = static_cast<unsigned>(LED_ADDR_START);
    access.data = LEDStatus[card];
    return driverRequest(card, REQ_REG_WRITE, &access);
}

// ---------------------------------------------------------------------------
// Receive-event signals. Signal 63 serves port 0 and 62 port 1 of every
// card: the signal numbers are the driver's convention, not per card.

namespace {

struct PortEvent {
    struct sigaction &action;
    int signal;
    unsigned long request;
};

PortEvent portEvent(int handle) {
    PCI_INFO &info = pci_Info_5C3A[cardOf(handle)];
    if (portOf(handle) == 0) return {info.act0, PCI5C3A_SIG_PORT0, REQ_EVENT_PORT0};
    return {info.act1, PCI5C3A_SIG_PORT1, REQ_EVENT_PORT1};
}

// Any non-zero marker and InstallRef, not cardInstalled/portOpen, as it always has been.
bool eventPortUsable(int handle) {
    return validHandle(handle) && pci_Info_5C3A[cardOf(handle)].magic != 0 && InstallRef[handle] != 0;
}

}  // namespace

extern "C" int CanGetReceiveEvent(int handle, void (*handler)(int)) {
    if (!eventPortUsable(handle)) return PCI5C3A_EVENT_NOT_OPEN;
    if (!pci_Info_5C3A[cardOf(handle)].sigReady) return PCI5C3A_EVENT_NO_OWNER;
    if (handler == nullptr) return PCI5C3A_EVENT_NO_HANDLER;

    // Install the handler before the driver starts raising the signal.
    const PortEvent event = portEvent(handle);
    event.action.sa_handler = handler;
    event.action.sa_flags |= SA_RESTART;
    if (sigaction(event.signal, &event.action, nullptr) == -1) return PCI5C3A_EVENT_SIGACTION;

    unsigned short enable = 1;
    return driverRequest(cardOf(handle), event.request, &enable) == 0 ? PCI5C3A_OK
                                                                      : PCI5C3A_EVENT_DRIVER_REFUSED;
}

extern "C" int CanStopReceiveEvent(int handle) {
    if (!eventPortUsable(handle)) return PCI5C3A_EVENT_NOT_OPEN;

    // Stop the driver before the handler goes.
    const PortEvent event = portEvent(handle);
    unsigned short enable = 0;
    const int stopped = driverRequest(cardOf(handle), event.request, &enable);

    event.action.sa_handler = SIG_IGN;
    if (sigaction(event.signal, &event.action, nullptr) == -1) return PCI5C3A_EVENT_SIGACTION;
    return stopped == 0 ? PCI5C3A_OK : PCI5C3A_EVENT_DRIVER_REFUSED;
}

// ---------------------------------------------------------------------------
// Bit-rate detection: try the fixed rates from the fastest down and watch the
// status register until a message arrives (the rate fits), the controller goes
// bus-off (it does not), or the trial's time is up.

extern "C" int CanDetectBaudrate(int handle, int timeout) {
    // Only the handle's range is checked, as always; on a closed port the accessors send nothing.
    if (!validHandle(handle)) return PCI5C3A_BAUD_NONE;

    const PORT_STRUCT saved = portStruct[handle];
    PORT_STRUCT trial = saved;
    const unsigned char savedMode = _5C3A_Read(handle, REG_MOD);
    // The first trial's configuration overrides this at once; kept so the driver sees the same requests.
    _5C3A_Write(handle, REG_MOD, MOD_LOM);

    int found = PCI5C3A_BAUD_NONE;
    for (int index = kUserTiming - 1; index >= 0 && found < 0; --index) {
        trial.baudrate = static_cast<unsigned>(index);
        CanConfigPort(handle, &trial);

        unsigned char status = _5C3A_Read(handle, REG_SR) & ~SR_RBS;
        canIntStatus[handle] = status;
        // The status register is read-only, the chip ignores this; kept so the driver sees the same requests.
        _5C3A_Write(handle, REG_SR, status);
        CanEnableReceive(handle);

        // time() counts whole seconds: a trial lasts until the seconds
        // counter has moved on by at least the timeout.
        const time_t start = time(nullptr);
        for (;;) {
            status = _5C3A_Read(handle, REG_SR);
            canIntStatus[handle] = status;
            if (status & SR_BS) {
                // Callers may watch standard output for this bus-off marker; it stays byte for byte.
                fputs("0x80", stdout);
                break;
            }
            if (status & SR_RBS) {
                found = index;
                break;
            }
            if (!(timeout / 1000.0 > difftime(time(nullptr), start))) break;
        }
    }

    CanConfigPort(handle, &saved);
    CanEnableReceive(handle);
    _5C3A_Write(handle, REG_MOD, savedMode);
    return found;
}
