// SPDX-License-Identifier: MIT
/* The public header as an existing C application sees it: strict C99,
 * included first. The layouts are checked here a second time, from C. */
#include "pci_5C3A.h"

#include <stddef.h>

#define CHECK(name, cond) typedef char check_##name[(cond) ? 1 : -1]

CHECK(port_struct_size, sizeof(PORT_STRUCT) == 24);
CHECK(port_struct_brp, offsetof(PORT_STRUCT, brp) == 16);
CHECK(port_struct_reserved, offsetof(PORT_STRUCT, reserved) == 20);
CHECK(port_status_status, offsetof(PORT_STATUS, status) == 24);
CHECK(can_packet_size, sizeof(CAN_PACKET) == 24);
CHECK(can_packet_data, offsetof(CAN_PACKET, data) == 6);
CHECK(can_packet_reserved, offsetof(CAN_PACKET, reserved) == 14);
CHECK(pci_info_fd, offsetof(PCI_INFO, fd) == 4);
CHECK(pci_info_act0, offsetof(PCI_INFO, act0) == 8);
#if defined(__i386__)
CHECK(pci_info_act1, offsetof(PCI_INFO, act1) == 148);
CHECK(pci_info_size, sizeof(PCI_INFO) == 288);
#else
CHECK(pci_info_act1, offsetof(PCI_INFO, act1) == 160);
CHECK(pci_info_size, sizeof(PCI_INFO) == 312);
#endif

/* The result names are integer constant expressions: usable in #if, in
 * array sizes and as case labels, with the values applications test. */
#if PCI5C3A_OK != 0 || PCI5C3A_ERROR != -1 || PCI5C3A_BAUD_NONE != -1
#error "result names changed value"
#endif
CHECK(install_results,
      PCI5C3A_INSTALL_NO_CARD == -1 && PCI5C3A_INSTALL_NO_DEVICE == -2 && PCI5C3A_INSTALL_SIGACTION == -3);
CHECK(event_results, PCI5C3A_EVENT_NOT_OPEN == -4 && PCI5C3A_EVENT_DRIVER_REFUSED == -5 &&
                         PCI5C3A_EVENT_NO_OWNER == -6 && PCI5C3A_EVENT_NO_HANDLER == -7 &&
                         PCI5C3A_EVENT_SIGACTION == -8);

int header_c99_event_result(int result);
int header_c99_event_result(int result) {
    switch (result) {
    case PCI5C3A_OK: return 0;
    case PCI5C3A_EVENT_NOT_OPEN:
    case PCI5C3A_EVENT_DRIVER_REFUSED:
    case PCI5C3A_EVENT_NO_OWNER:
    case PCI5C3A_EVENT_NO_HANDLER:
    case PCI5C3A_EVENT_SIGACTION: return 1;
    default: return 2;
    }
}

/* Every function and table is reachable from C under its own name. */
int header_c99_uses_everything(void);
int header_c99_uses_everything(void) {
    PORT_STRUCT cfg = {PCI5C3A_ID_STANDARD, 0, 0x7FF, PCI5C3A_BAUD_1M, 0, 0, 0, 0, {0, 0, 0, 0}};
    PORT_STATUS st;
    CAN_PACKET pkt = {0, 0, 0, {0}, {0}};
    int r = 0;
    r += _5C3A_InstallPCI(0) + CanOpenDriver(0, 0) + CanCloseDriver(0) + GetDriverVersion();
    r += _5C3A_Read(0, 0) + _5C3A_Write(0, 0, 0);
    r += CanConfigPort(0, &cfg) + CanGetPortStatus(0, &st);
    r += CanSendMsg(0, &pkt) + CanRcvMsg(0, &pkt) + CanGetRcvCnt(0);
    r += CanEnableReceive(0) + CanDisableReceive(0) + CanClearOverrun(0);
    CanClearRxBuffer(0);
    CanClearTxBuffer(0);
    r += CanGetArbitrationLostBit(0) + CanGetErrorCode(0) + CanGetErrorWarningLimit(0);
    r += CanSetErrorWarningLimit(0, 96) + CanGetRxErrorCount(0) + CanGetTxErrorCount(0);
    r += CanSetTxErrorCount(0, 0) + CanGetIntStatusReg(0) + CanGetLedStatus(0, 0) + CanSetLedStatus(0, 0, 1);
    r += CanGetReceiveEvent(0, 0) + CanStopReceiveEvent(0) + CanDetectBaudrate(0, 0);
    r += pci_Info_5C3A[0].magic + InstallRef[0] + (int)portStruct[0].mode + totalCards + LEDStatus[0];
    r += canIntStatus[0] + LED_ADDR_START + majorVersion + minorVersion + initFlag;
    return r;
}
