/*
 * pci_5C3A_ioctl.h - the conversation between libpci_5C3A and the card's
 * kernel driver: device node, request codes, request records, and the
 * SJA1000 (PeliCAN mode) register map as the card exposes it.
 *
 * Shared by the library and the virtual card, so both sides speak from one
 * definition. Valid C99 and C++.
 */
#ifndef PCI_5C3A_IOCTL_H
#define PCI_5C3A_IOCTL_H

#include <sys/ioctl.h>

#include "pci_5C3A.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One character device per card, card number 0..3 in decimal. */
#define PCI5C3A_DEVICE_FORMAT "/dev/PCI5C3AW%d"
#define PCI5C3A_MAX_CARDS 4
#define PCI5C3A_PORTS_PER_CARD 2
#define PCI5C3A_MAX_HANDLES (PCI5C3A_MAX_CARDS * PCI5C3A_PORTS_PER_CARD)

/* Each port's controller owns a 128-byte window of the card's address space:
 * port 0 at 0, port 1 at 128. The LED register sits at 64, inside port 0's
 * window but outside the controller's 32 registers, and carries no port
 * offset. */
#define PCI5C3A_PORT_WINDOW 128
#define PCI5C3A_LED_ADDR 64

/* Receive notifications: fixed signal numbers shared by all cards. */
#define PCI5C3A_SIG_PORT0 63
#define PCI5C3A_SIG_PORT1 62

/* Register access: 12 bytes. */
typedef struct {
    unsigned int reserved; /* sent as 0; the driver does not look at it */
    unsigned int addr;     /* byte address in the card's controller space */
    unsigned char data;    /* value written, or value read back */
    unsigned char pad[3];
} REG_ACCESS;

/* Identifier format of a port: 8 bytes. */
typedef struct {
    int handle;
    unsigned int mode; /* 0 = 11-bit, 1 = 29-bit identifiers */
} MODE_SET;

/* One message to send or received: 32 bytes. */
typedef struct {
    int handle;
    unsigned int reserved; /* sent as 0 */
    CAN_PACKET packet;
} MSG_XFER;

/* Number of received messages waiting in the driver: 8 bytes. */
typedef struct {
    int handle;
    unsigned short count; /* written by the driver */
    unsigned char pad[2];
} RCV_COUNT;

/* Request codes: _IO/_IOR/_IOW encoding with type letter 'S'. The numeric
 * values are the driver's ABI; the sizes in them are the records above. */
#define PCI5C3A_IOC_TYPE 'S'
#define REQ_EVENT_PORT0 0x5305UL    /* _IO('S', 5), arg: unsigned short flag */
#define REQ_EVENT_PORT1 0x5306UL    /* _IO('S', 6), arg: unsigned short flag */
#define REQ_PORT_CLOSE 0x400C5313UL /* _IOW('S', 0x13, REG_ACCESS) */
#define REQ_LAST_CLOSE 0x400C5314UL /* _IOW('S', 0x14, REG_ACCESS) */
#define REQ_SET_MODE 0x40085315UL   /* _IOW('S', 0x15, MODE_SET) */
#define REQ_REG_READ 0x800C5316UL   /* _IOR('S', 0x16, REG_ACCESS) */
#define REQ_REG_WRITE 0x400C5317UL  /* _IOW('S', 0x17, REG_ACCESS) */
#define REQ_SEND 0x40205318UL       /* _IOW('S', 0x18, MSG_XFER) */
#define REQ_RECEIVE 0x80205319UL    /* _IOR('S', 0x19, MSG_XFER) */
#define REQ_RCV_COUNT 0x8008531AUL  /* _IOR('S', 0x1A, RCV_COUNT) */

/* SJA1000 registers in PeliCAN mode (operating-mode names). */
enum {
    REG_MOD = 0,    /* mode */
    REG_CMR = 1,    /* command (write only) */
    REG_SR = 2,     /* status */
    REG_IR = 3,     /* interrupt (read clears) */
    REG_IER = 4,    /* interrupt enable */
    REG_BTR0 = 6,   /* bus timing 0: SJW 7-6, BRP 5-0 */
    REG_BTR1 = 7,   /* bus timing 1: SAM 7, TSEG2 6-4, TSEG1 3-0 */
    REG_OCR = 8,    /* output control */
    REG_ALC = 11,   /* arbitration lost capture */
    REG_ECC = 12,   /* error code capture */
    REG_EWLR = 13,  /* error warning limit */
    REG_RXERR = 14, /* receive error counter */
    REG_TXERR = 15, /* transmit error counter */
    REG_ACR0 = 16,  /* acceptance code 0..3 (reset mode) */
    REG_ACR1 = 17,
    REG_ACR2 = 18,
    REG_ACR3 = 19,
    REG_AMR0 = 20, /* acceptance mask 0..3 (reset mode) */
    REG_AMR1 = 21,
    REG_AMR2 = 22,
    REG_AMR3 = 23,
    REG_FRAME = 16, /* operating mode: transmit buffer (write), receive window (read), 16..28 */
    REG_FRAME_END = 28,
    REG_RMC = 29,  /* receive message counter */
    REG_RBSA = 30, /* receive buffer start address */
    REG_CDR = 31,  /* clock divider */
    REG_COUNT = 32
};

/* Mode register */
enum { MOD_RM = 0x01, MOD_LOM = 0x02, MOD_STM = 0x04, MOD_AFM = 0x08, MOD_SM = 0x10 };

/* Command register */
enum { CMD_TR = 0x01, CMD_AT = 0x02, CMD_RRB = 0x04, CMD_CDO = 0x08, CMD_SRR = 0x10 };

/* Status register */
enum {
    SR_RBS = 0x01, /* receive buffer: a message is available */
    SR_DOS = 0x02, /* data overrun */
    SR_TBS = 0x04, /* transmit buffer released */
    SR_TCS = 0x08, /* transmission complete */
    SR_RS = 0x10,  /* receiving */
    SR_TS = 0x20,  /* transmitting */
    SR_ES = 0x40,  /* error warning limit reached */
    SR_BS = 0x80   /* bus-off */
};

/* Interrupt and interrupt enable registers */
enum {
    IRQ_RI = 0x01,  /* receive */
    IRQ_TI = 0x02,  /* transmit */
    IRQ_EI = 0x04,  /* error warning */
    IRQ_DOI = 0x08, /* data overrun */
    IRQ_WUI = 0x10, /* wake-up */
    IRQ_EPI = 0x20, /* error passive */
    IRQ_ALI = 0x40, /* arbitration lost */
    IRQ_BEI = 0x80  /* bus error */
};

/* Frame information byte of the transmit buffer and receive window */
enum { FI_FF = 0x80, FI_RTR = 0x40, FI_DLC = 0x0F };

/* Remote-request bit of the single acceptance filter: bit 4 of code/mask 1
 * for standard frames, bit 2 of code/mask 3 for extended frames. */
enum { AF_SFF_RTR = 0x10, AF_EFF_RTR = 0x04 };

/* The card's fixed choices: both transmit pins push-pull in normal output
 * mode; PeliCAN mode with the input comparator bypassed and CLKOUT off. */
enum { OCR_CARD = 0xFA, CDR_CARD = 0xC8, CDR_PELICAN = 0x80 };

/* Value the library writes to the LED register when the last port closes. */
enum { LED_AT_LAST_CLOSE = 0xFF };

#ifdef __cplusplus
}
#endif

#endif /* PCI_5C3A_IOCTL_H */
