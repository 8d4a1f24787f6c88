// SPDX-License-Identifier: MIT
// Proof that no library call allocates memory: every API function runs,
// with good and bad arguments, against a stand-in driver that answers every
// request, while malloc and friends count their calls.
//
// This program defines the allocator entry points (or, under the address
// sanitizer, hooks the sanitizer's allocator) and the descriptor calls the
// library uses (open, fcntl, ioctl) itself, so it links neither the virtual
// card (which allocates) nor GoogleTest.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <initializer_list>

#include "alloc_counter.h"
#include "pci_5C3A.h"
#include "pci_5C3A_ioctl.h"
#include "sja1000.h"

namespace {
bool counting = false;
int allocations = 0;
const char *lastCall = "";
const char *firstAllocating = "";
}  // namespace

void allocationSeen() {
    if (!counting) return;
    if (allocations++ == 0) firstAllocating = lastCall;
}

extern "C" {
// The stand-in driver: card 0 is present, every request succeeds.
int open(const char *path, int flags, ...) {
    if (strcmp(path, "/dev/PCI5C3AW0") != 0) {
        errno = ENOENT;
        return -1;
    }
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", flags));
}
int open64(const char *path, int flags, ...) { return open(path, flags); }
int fcntl(int, int, ...) { return 0; }
int fcntl64(int, int, ...) { return 0; }
int ioctl(int, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (request == REQ_RCV_COUNT) static_cast<RCV_COUNT *>(arg)->count = 1;
    if (request == REQ_REG_READ) static_cast<REG_ACCESS *>(arg)->data = 0;
    return 0;
}
}

namespace {

void handler(int) {}

#define CALL(expr)        \
    do {                  \
        lastCall = #expr; \
        (void)(expr);     \
    } while (0)

void everyCall(int h, int card) {
    PORT_STRUCT cfg = {1, 0x1234, 0xFF, 4, 1, 2, 3, 0, {0, 0, 0, 0}};
    PORT_STATUS st;
    CAN_PACKET pkt;
    memset(&pkt, 0, sizeof pkt);
    pkt.len = 8;
    CALL(_5C3A_Read(h, 2));
    CALL(_5C3A_Write(h, 4, 3));
    CALL(CanConfigPort(h, &cfg));
    CALL(CanConfigPort(h, nullptr));
    CALL(CanGetPortStatus(h, &st));
    CALL(CanGetPortStatus(h, nullptr));
    CALL(CanSendMsg(h, &pkt));
    CALL(CanSendMsg(h, nullptr));
    CALL(CanGetRcvCnt(h));
    CALL(CanRcvMsg(h, &pkt));
    CALL(CanRcvMsg(h, nullptr));
    CALL(CanEnableReceive(h));
    CALL(CanDisableReceive(h));
    CALL(CanClearOverrun(h));
    CanClearRxBuffer(h);
    CanClearTxBuffer(h);
    CALL(CanGetArbitrationLostBit(h));
    CALL(CanGetErrorCode(h));
    CALL(CanGetErrorWarningLimit(h));
    CALL(CanSetErrorWarningLimit(h, 50));
    CALL(CanGetRxErrorCount(h));
    CALL(CanGetTxErrorCount(h));
    CALL(CanSetTxErrorCount(h, 5));
    CALL(CanGetIntStatusReg(h));
    CALL(CanGetLedStatus(card, 3));
    CALL(CanSetLedStatus(card, 3, 1));
    CALL(CanSetLedStatus(card, 40, 1));
    CALL(CanGetReceiveEvent(h, handler));
    CALL(CanGetReceiveEvent(h, nullptr));
    CALL(CanStopReceiveEvent(h));
    CALL(CanDetectBaudrate(h, 0));
    CALL(GetDriverVersion());
}

}  // namespace

int main() {
    // The library's one message goes through stdio; give stdout its buffer now
    // so that the C library does not allocate one during the first message.
    static char outBuffer[BUFSIZ];
    setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);

    if (!installAllocationCounter()) {
        fprintf(stderr, "cannot count the sanitizer's allocations\n");
        return 1;
    }
    counting = true;
    CALL(CanOpenDriver(0, 0));
    CALL(CanOpenDriver(0, 1));
    CALL(CanOpenDriver(1, 0));  // no such card: the message
    CALL(CanOpenDriver(9, 0));
    CALL(CanOpenDriver(0, 5));
    CALL(_5C3A_InstallPCI(-1));
    for (int h : {0, 1, 2, -1, 8, 1 << 30}) everyCall(h, h / 2);
    CALL(CanCloseDriver(0));
    CALL(CanCloseDriver(1));
    CALL(CanCloseDriver(1));
    counting = false;
    fflush(stdout);

    if (allocations != 0) {
        fprintf(stderr, "library calls allocated memory %d times, first in %s\n", allocations,
                firstAllocating);
        return 1;
    }
    fprintf(stderr, "no allocation in any library call\n");
    return 0;
}
