/* SPDX-License-Identifier: MIT */
/*
 * pci_5C3A_ioctl.h - the conversation between libpci_5C3A and the card's
 * kernel driver: device node, the card's address map, request codes and
 * request records. The controllers' registers behind the address map are
 * the chip's own (sja1000.h).
 *
 * Shared by the library, the virtual card's driver and the kernel driver
 * (kernel/), so every side speaks from one definition. Valid C99 and C++,
 * and kernel C: under __KERNEL__ the kernel's own <linux/ioctl.h> stands in
 * for the C library's; the records use only the C language's own types.
 */
#ifndef PCI_5C3A_IOCTL_H
#define PCI_5C3A_IOCTL_H

#ifdef __KERNEL__
#include <linux/ioctl.h>
#include <linux/types.h>
#else
#include <sys/ioctl.h>
#endif

#include "pci_5C3A.h" /* CAN_PACKET, inside MSG_XFER */

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

/* Value the library writes to the LED register when the last port closes. */
enum { LED_AT_LAST_CLOSE = 0xFF };

#ifdef __cplusplus
}
#endif

#endif /* PCI_5C3A_IOCTL_H */
