// SPDX-License-Identifier: GPL-2.0
/*
 * regs: raw character-device requests on one card, for
 * kernel/tests/netdev-suite.sh, which switches ports between the character
 * device and the network stack and looks at what each side sees.
 *
 *   regs CARD read ADDR...     one line: each register's value, 0xHH, in order
 *   regs CARD write ADDR VALUE
 *   regs CARD lastclose        the library's last-close request (LED value)
 *   regs CARD probe PORT       every request that names PORT, one line:
 *                              read= write= mode= send= receive= count=
 *                              event= close=, each OK or the errno's name
 *   regs CARD hold PORT SECONDS
 *
 * ADDR is the card's address: port * 128 + register, the LED at 64.
 * hold makes one request on PORT (a read of its status register), prints
 * "held", and keeps the file open: SIGUSR1 then closes the port the way
 * the library does (REQ_PORT_CLOSE) and prints "port closed: E"; SIGTERM or
 * SECONDS elapsed closes the file and exits 0. Every other command exits 0
 * when all its requests succeed, 1 when one fails (the line names it with
 * its errno), 2 on a bad command line.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "port_setup.h"

static volatile sig_atomic_t usr1, term;

static void on_signal(int sig)
{
	if (sig == SIGUSR1)
		usr1 = 1;
	else
		term = 1;
}

static const char *name_of(int e)
{
	switch (e) {
	case 0: return "OK";
	case EADDRINUSE: return "EADDRINUSE";
	case ENODEV: return "ENODEV";
	case ENXIO: return "ENXIO";
	case EINVAL: return "EINVAL";
	case EBUSY: return "EBUSY";
	case EAGAIN: return "EAGAIN";
	case EFAULT: return "EFAULT";
	case EIO: return "EIO";
	case ENOTTY: return "ENOTTY";
	default: return strerror(e);
	}
}

static int number(const char *s, unsigned int max, unsigned int *out)
{
	char *end;
	unsigned long v;

	errno = 0;
	v = strtoul(s, &end, 0);
	if (errno || end == s || *end || v > max) {
		fprintf(stderr, "regs: %s: not a number 0..%u\n", s, max);
		return -1;
	}
	*out = (unsigned int)v;
	return 0;
}

static int reg_read(int fd, unsigned int addr, unsigned char *value)
{
	REG_ACCESS r;
	int e;

	memset(&r, 0, sizeof(r));
	r.addr = addr;
	e = req(fd, REQ_REG_READ, &r);
	*value = r.data;
	return e;
}

static int port_close(int fd, unsigned int port)
{
	REG_ACCESS r;

	memset(&r, 0, sizeof(r));
	r.addr = port * PCI5C3A_PORT_WINDOW;
	r.data = 1;
	return req(fd, REQ_PORT_CLOSE, &r);
}

/* Every request kind that names a port, in the order printed. */
static void probe(int fd, int card, unsigned int port)
{
	int handle = card * PCI5C3A_PORTS_PER_CARD + (int)port;
	unsigned int base = port * PCI5C3A_PORT_WINDOW;
	unsigned short off = 0;
	unsigned char v;
	MODE_SET m;
	MSG_XFER x;
	RCV_COUNT c;
	int e;

	printf("read=%s", name_of(reg_read(fd, base + REG_SR, &v)));
	/* The acceptance code: harmless in reset and operating mode alike. */
	printf(" write=%s", name_of(reg_write(fd, base + REG_ACR0, 0)));
	memset(&m, 0, sizeof(m));
	m.handle = handle;
	printf(" mode=%s", name_of(req(fd, REQ_SET_MODE, &m)));
	memset(&x, 0, sizeof(x));
	x.handle = handle;
	x.packet.id = 0x7EF;
	x.packet.len = 1;
	printf(" send=%s", name_of(req(fd, REQ_SEND, &x)));
	memset(&x, 0, sizeof(x));
	x.handle = handle;
	printf(" receive=%s", name_of(req(fd, REQ_RECEIVE, &x)));
	memset(&c, 0, sizeof(c));
	c.handle = handle;
	printf(" count=%s", name_of(req(fd, REQ_RCV_COUNT, &c)));
	e = req(fd, port ? REQ_EVENT_PORT1 : REQ_EVENT_PORT0, &off);
	printf(" event=%s", name_of(e));
	printf(" close=%s\n", name_of(port_close(fd, port)));
}

static int hold(int fd, unsigned int port, unsigned int seconds)
{
	struct timespec tick = { 0, 10 * 1000 * 1000 };
	struct sigaction sa;
	unsigned char v;
	long ticks;
	int e;

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_signal;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGUSR1, &sa, NULL);
	sigaction(SIGTERM, &sa, NULL);
	e = reg_read(fd, port * PCI5C3A_PORT_WINDOW + REG_SR, &v);
	if (e) {
		printf("request: %s\n", name_of(e));
		return 1;
	}
	printf("held\n");
	fflush(stdout);
	for (ticks = (long)seconds * 100; ticks > 0 && !term; ticks--) {
		nanosleep(&tick, NULL);
		if (usr1) {
			usr1 = 0;
			printf("port closed: %s\n", name_of(port_close(fd, port)));
			fflush(stdout);
		}
	}
	return 0;
}

int main(int argc, char **argv)
{
	unsigned int card, a, v;
	unsigned char value;
	REG_ACCESS r;
	char path[32];
	int fd, i, e;

	if (argc < 3 || number(argv[1], PCI5C3A_MAX_CARDS - 1, &card))
		goto usage;
	snprintf(path, sizeof(path), PCI5C3A_DEVICE_FORMAT, (int)card);
	fd = open(path, O_RDWR);
	if (fd < 0) {
		printf("open %s: %s\n", path, strerror(errno));
		return 1;
	}
	if (!strcmp(argv[2], "read") && argc > 3) {
		for (i = 3; i < argc; i++) {
			if (number(argv[i], 255, &a))
				return 2;
			e = reg_read(fd, a, &value);
			if (e) {
				printf("%sread %u: %s\n", i > 3 ? "\n" : "", a, name_of(e));
				return 1;
			}
			printf("%s0x%02X", i > 3 ? " " : "", value);
		}
		printf("\n");
		return 0;
	}
	if (!strcmp(argv[2], "write") && argc == 5) {
		if (number(argv[3], 255, &a) || number(argv[4], 255, &v))
			return 2;
		e = reg_write(fd, a, v);
		printf("write %u: %s\n", a, name_of(e));
		return !!e;
	}
	if (!strcmp(argv[2], "lastclose") && argc == 3) {
		memset(&r, 0, sizeof(r));
		r.addr = PCI5C3A_LED_ADDR;
		r.data = LED_AT_LAST_CLOSE;
		e = req(fd, REQ_LAST_CLOSE, &r);
		printf("lastclose: %s\n", name_of(e));
		return !!e;
	}
	if (!strcmp(argv[2], "probe") && argc == 4) {
		if (number(argv[3], PCI5C3A_PORTS_PER_CARD - 1, &a))
			return 2;
		probe(fd, (int)card, a);
		return 0;
	}
	if (!strcmp(argv[2], "hold") && argc == 5) {
		if (number(argv[3], PCI5C3A_PORTS_PER_CARD - 1, &a) ||
		    number(argv[4], 3600, &v))
			return 2;
		return hold(fd, a, v);
	}
usage:
	fprintf(stderr, "usage: regs CARD read ADDR... | write ADDR VALUE | lastclose | probe PORT | hold PORT SECONDS\n");
	return 2;
}
