/* SPDX-License-Identifier: MIT */
/*
 * pci_5C3A.h - user-space interface to the 5C3A two-port CAN bus PCI card.
 *
 * Each card carries two SJA1000 controllers in PeliCAN mode. A port is named
 * by a handle, card * 2 + port, so handles 0..7 cover cards 0..3 with two
 * ports each. All functions are synchronous and report failure through small
 * negative return values; see each function for its own values.
 *
 * The record layouts below are shared with existing 32-bit applications and
 * with the card's kernel driver: their sizes and field offsets are fixed.
 *
 * Valid C99 and C++. In strict ISO C mode (-std=c99) include this header
 * before any system header, or define _POSIX_C_SOURCE yourself, so that
 * <signal.h> declares struct sigaction.
 *
 * The card's kernel driver includes it too, for CAN_PACKET inside its
 * request records: under __KERNEL__ only the constants and the message and
 * port records are declared (no C library header, no PCI_INFO, no
 * functions or tables).
 */
#ifndef PCI_5C3A_H
#define PCI_5C3A_H

#ifndef __KERNEL__
#if defined(__STRICT_ANSI__) && !defined(__cplusplus) && !defined(_POSIX_C_SOURCE) && \
    !defined(_XOPEN_SOURCE) && !defined(_GNU_SOURCE) && !defined(_DEFAULT_SOURCE)
#define _POSIX_C_SOURCE 200809L
#endif

#include <signal.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Identifier modes of PORT_STRUCT.mode */
#define PCI5C3A_ID_STANDARD 0 /* 11-bit identifiers */
#define PCI5C3A_ID_EXTENDED 1 /* 29-bit identifiers */

/* Bit-rate indices of PORT_STRUCT.baudrate, with the card's 16 MHz clock;
 * also what CanDetectBaudrate returns. */
#define PCI5C3A_BAUD_125K 0
#define PCI5C3A_BAUD_250K 1
#define PCI5C3A_BAUD_500K 2
#define PCI5C3A_BAUD_1M 3
#define PCI5C3A_BAUD_USER 4 /* the timing in brp, tseg1, tseg2, sjw */

/* Results. 0 is success for every function that reports one; failures are
 * small negative numbers. Plain macros, so that C, C++ and the preprocessor
 * can all test them. */
#define PCI5C3A_OK 0
/* Most functions: a handle, card, port or LED outside its range, a port that
 * is not open, a record refused, or a driver request that failed. */
#define PCI5C3A_ERROR (-1)

/* _5C3A_InstallPCI; CanOpenDriver turns each of them into PCI5C3A_ERROR. */
#define PCI5C3A_INSTALL_NO_CARD (-1)   /* card number outside 0..3 */
#define PCI5C3A_INSTALL_NO_DEVICE (-2) /* /dev/PCI5C3AW<card> cannot be opened */
#define PCI5C3A_INSTALL_SIGACTION (-3) /* signal 63 or 62 cannot be set to ignored */

/* CanDetectBaudrate: no trial rate received a message. Otherwise it returns
 * PCI5C3A_BAUD_125K..PCI5C3A_BAUD_1M. */
#define PCI5C3A_BAUD_NONE (-1)

/* CanGetReceiveEvent and CanStopReceiveEvent. */
#define PCI5C3A_EVENT_NOT_OPEN (-4)       /* card not installed or port not open */
#define PCI5C3A_EVENT_DRIVER_REFUSED (-5) /* the driver refused to switch notification */
#define PCI5C3A_EVENT_NO_OWNER (-6)       /* the process does not own the card's signals */
#define PCI5C3A_EVENT_NO_HANDLER (-7)     /* the handler is null */
#define PCI5C3A_EVENT_SIGACTION (-8)      /* sigaction for the port's signal failed */

/* Port configuration, 24 bytes (six 32-bit words). */
typedef struct {
    unsigned int mode;     /* PCI5C3A_ID_STANDARD (0) or PCI5C3A_ID_EXTENDED (1) */
    unsigned int accCode;  /* acceptance code, right-aligned identifier bits */
    unsigned int accMask;  /* acceptance mask, a 1 bit is "don't care" */
    unsigned int baudrate; /* bit-rate index PCI5C3A_BAUD_125K..PCI5C3A_BAUD_USER (0..4) */
    unsigned char brp;     /* user bit timing: baud-rate prescaler */
    unsigned char tseg1;   /* user bit timing: time segment 1 */
    unsigned char tseg2;   /* user bit timing: time segment 2 */
    unsigned char sjw;     /* user bit timing: synchronisation jump width */
    unsigned char reserved[4];
} PORT_STRUCT;

/* A port's configuration followed by the controller's status register. */
typedef struct {
    unsigned int mode;
    unsigned int accCode;
    unsigned int accMask;
    unsigned int baudrate;
    unsigned char brp;
    unsigned char tseg1;
    unsigned char tseg2;
    unsigned char sjw;
    unsigned char reserved[4];
    unsigned char status; /* status register (2) as read by CanGetPortStatus */
} PORT_STATUS;

/* One CAN message, 24 bytes. */
typedef struct {
    unsigned int id;   /* identifier, right-aligned, 11 or 29 bits */
    unsigned char rtr; /* non-zero for a remote frame */
    unsigned char len; /* data length code 0..8 */
    unsigned char data[8];
    unsigned char reserved[10];
} CAN_PACKET;

#ifndef __KERNEL__

/* Per-card state: installed marker, signal ownership, descriptor, and the
 * signal actions of port 0 (signal 63) and port 1 (signal 62). */
typedef struct {
    unsigned short magic;   /* 0x5C3A once the card is installed */
    unsigned char sigReady; /* 1 when the process owns the device's signals */
    int fd;                 /* descriptor of /dev/PCI5C3AW<card> */
    struct sigaction act0;  /* port 0, signal 63 */
    struct sigaction act1;  /* port 1, signal 62 */
} PCI_INFO;

/* Card and port registry */
int _5C3A_InstallPCI(int card);
int CanOpenDriver(int card, int port);
int CanCloseDriver(int handle);
int GetDriverVersion(void);

/* Controller register access */
unsigned char _5C3A_Read(int handle, int reg);
int _5C3A_Write(int handle, int reg, int value);

/* Port configuration */
int CanConfigPort(int handle, const PORT_STRUCT *cfg);
int CanGetPortStatus(int handle, PORT_STATUS *out);

/* Message transfer */
int CanSendMsg(int handle, const CAN_PACKET *msg);
int CanRcvMsg(int handle, CAN_PACKET *msg);
int CanGetRcvCnt(int handle);

/* Receive and buffer control */
int CanEnableReceive(int handle);
int CanDisableReceive(int handle);
int CanClearOverrun(int handle);
void CanClearRxBuffer(int handle);
void CanClearTxBuffer(int handle);

/* Error, status and LED access */
int CanGetArbitrationLostBit(int handle);
int CanGetErrorCode(int handle);
int CanGetErrorWarningLimit(int handle);
int CanSetErrorWarningLimit(int handle, unsigned char limit);
int CanGetRxErrorCount(int handle);
int CanGetTxErrorCount(int handle);
int CanSetTxErrorCount(int handle, unsigned char count);
int CanGetIntStatusReg(int handle);
int CanGetLedStatus(int card, int led);
int CanSetLedStatus(int card, int led, int state);

/* Receive-event signals: 63 for port 0, 62 for port 1 of every card */
int CanGetReceiveEvent(int handle, void (*handler)(int));
int CanStopReceiveEvent(int handle);

/* Bit-rate detection: timeout per trial in milliseconds */
int CanDetectBaudrate(int handle, int timeout);

/* Library state, shared with applications */
extern PCI_INFO pci_Info_5C3A[4];
extern int InstallRef[8];
extern PORT_STRUCT portStruct[8];
extern int totalCards;
extern unsigned char LEDStatus[4];
extern unsigned char canIntStatus[8];
extern int LED_ADDR_START;
extern unsigned short majorVersion;
extern unsigned short minorVersion;
extern int initFlag;

#endif /* !__KERNEL__ */

#ifdef __cplusplus
}
#endif

#endif /* PCI_5C3A_H */
