/* SPDX-License-Identifier: GPL-2.0-only OR MIT */
/*
 * port_setup.h - the raw requests the driver suite's own C programs share:
 * a register write, and a port configured as the library leaves it
 * (PeliCAN, 500 kbit/s, single filter open to every identifier, the given
 * interrupts on, operating mode).
 */
#ifndef PORT_SETUP_H
#define PORT_SETUP_H

#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>

#include "pci_5C3A_ioctl.h"
#include "sja1000.h"

/* One request; 0 or the errno of its failure. */
static inline int req(int fd, unsigned long code, void *arg)
{
	return ioctl(fd, code, arg) == 0 ? 0 : errno;
}

static inline int reg_write(int fd, unsigned int addr, unsigned int value)
{
	REG_ACCESS r;

	memset(&r, 0, sizeof(r));
	r.addr = addr;
	r.data = (unsigned char)value;
	return req(fd, REQ_REG_WRITE, &r);
}

static inline void port_configure(int fd, int port, unsigned int irqs)
{
	unsigned int base = port * PCI5C3A_PORT_WINDOW, i;

	reg_write(fd, base + REG_MOD, MOD_RM);
	reg_write(fd, base + REG_CDR, CDR_CARD);
	for (i = 0; i < 4; i++) {
		reg_write(fd, base + REG_ACR0 + i, 0x00);
		reg_write(fd, base + REG_AMR0 + i, 0xFF);
	}
	reg_write(fd, base + REG_BTR0, 0x00);
	reg_write(fd, base + REG_BTR1, 0x1C);
	reg_write(fd, base + REG_OCR, OCR_CARD);
	reg_write(fd, base + REG_IER, irqs);
	reg_write(fd, base + REG_MOD, MOD_AFM);	/* leave reset mode */
}

#endif /* PORT_SETUP_H */
