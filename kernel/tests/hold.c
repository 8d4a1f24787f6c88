// SPDX-License-Identifier: GPL-2.0
/*
 * hold: keeps a card's device open across a removal, for
 * kernel/tests/driver-suite.sh. Raw requests with the shared header's codes.
 *
 *   hold CARD SECONDS
 *
 * Opens /dev/PCI5C3AW<CARD>, makes one request (REQ_RCV_COUNT on its port 0),
 * prints "opened", then waits up to SECONDS for SIGUSR1 (the suite sends it
 * once the card has been unbound or the module's removal refused) and makes
 * two more requests: REQ_RCV_COUNT and REQ_EVENT_PORT0. It prints one line
 * "after: count=E event=E close=E" with each request's errno name (OK for
 * none) and exits 0, or 1 when the first open or request fails, 3 when no
 * SIGUSR1 came in time. SECONDS 0: no wait, the line at once.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "pci_5C3A_ioctl.h"

static volatile sig_atomic_t go;

static void on_usr1(int sig)
{
	(void)sig;
	go = 1;
}

static const char *name_of(int e)
{
	switch (e) {
	case 0: return "OK";
	case ENODEV: return "ENODEV";
	case ENXIO: return "ENXIO";
	case EINVAL: return "EINVAL";
	case EFAULT: return "EFAULT";
	case EIO: return "EIO";
	case EBADF: return "EBADF";
	default: return strerror(e);
	}
}

static int handle;	/* port 0 of the card: 2 * CARD */

static int rcv_count(int fd)
{
	RCV_COUNT c;

	memset(&c, 0, sizeof c);
	c.handle = handle;
	return ioctl(fd, REQ_RCV_COUNT, &c) == 0 ? 0 : errno;
}

static int event_on(int fd)
{
	unsigned short on = 1;

	return ioctl(fd, REQ_EVENT_PORT0, &on) == 0 ? 0 : errno;
}

int main(int argc, char **argv)
{
	struct sigaction sa;
	struct timespec tick = { 0, 10 * 1000 * 1000 };
	char path[32];
	long ticks;
	int fd, e, c, ev, cl;

	if (argc != 3) {
		fprintf(stderr, "usage: hold CARD SECONDS\n");
		return 2;
	}
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = on_usr1;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGUSR1, &sa, NULL);
	handle = 2 * atoi(argv[1]);
	snprintf(path, sizeof path, PCI5C3A_DEVICE_FORMAT, atoi(argv[1]));
	fd = open(path, O_RDWR);
	if (fd < 0) {
		printf("open %s: %s\n", path, strerror(errno));
		return 1;
	}
	e = rcv_count(fd);
	if (e) {
		printf("first request: %s\n", name_of(e));
		return 1;
	}
	printf("opened\n");
	fflush(stdout);
	for (ticks = atol(argv[2]) * 100; ticks > 0 && !go; ticks--)
		nanosleep(&tick, NULL);
	if (atol(argv[2]) > 0 && !go) {
		printf("no SIGUSR1 within %s s\n", argv[2]);
		return 3;
	}
	c = rcv_count(fd);
	ev = event_on(fd);
	cl = close(fd) == 0 ? 0 : errno;
	printf("after: count=%s event=%s close=%s\n", name_of(c), name_of(ev), name_of(cl));
	return 0;
}
