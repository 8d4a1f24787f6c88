// SPDX-License-Identifier: GPL-2.0
/*
 * lib_peer: one port of a card through libpci_5C3A's public calls, the
 * other end of a network-device port in kernel/tests/netdev-suite.sh.
 * Frames are written as candump's log format writes them (ID#DATA, the
 * identifier in 3 hex digits for 11 bits and 8 for 29, ID#R or ID#Rn for a
 * remote frame of length n), so the suite compares them with candump's and
 * cansend's directly.
 *
 *   lib_peer open CARD PORT
 *   lib_peer send CARD PORT MODE FRAME...
 *   lib_peer recv CARD PORT MODE COUNT MILLISECONDS
 *
 * MODE is the port's identifier format, 0 (11-bit) or 1 (29-bit). open
 * prints CanOpenDriver's result ("handle N", or "refused" after whatever
 * the library printed) and exits 0 only when it opened the port. send
 * configures the port (500 kbit/s, every identifier accepted) and sends
 * each FRAME in turn. recv configures it, prints "ready", then prints each
 * frame as it arrives until COUNT have (exit 0) or MILLISECONDS passed
 * (exit 1). Exit 2: a bad command line or a failed call.
 */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "pci_5C3A.h"

static int parse_frame(const char *s, CAN_PACKET *p)
{
	const char *hash = strchr(s, '#');
	char *end;
	size_t i, n;

	memset(p, 0, sizeof(*p));
	if (!hash || hash == s)
		return -1;
	p->id = (unsigned int)strtoul(s, &end, 16);
	if (end != hash)
		return -1;
	if (hash[1] == 'R') {
		p->rtr = 1;
		if (hash[2] >= '0' && hash[2] <= '8' && !hash[3])
			p->len = (unsigned char)(hash[2] - '0');
		else if (hash[2])
			return -1;
		return 0;
	}
	n = strlen(hash + 1);
	if (n % 2 || n > 16)
		return -1;
	for (i = 0; i < n / 2; i++) {
		char byte[3] = { hash[1 + 2 * i], hash[2 + 2 * i], 0 };

		p->data[i] = (unsigned char)strtoul(byte, &end, 16);
		if (*end)
			return -1;
	}
	p->len = (unsigned char)(n / 2);
	return 0;
}

static void print_frame(const CAN_PACKET *p, unsigned int mode)
{
	int i;

	printf(mode ? "%08X#" : "%03X#", p->id);
	if (p->rtr) {
		printf("R");
		if (p->len)
			printf("%u", p->len);
	} else {
		for (i = 0; i < p->len && i < 8; i++)
			printf("%02X", p->data[i]);
	}
	printf("\n");
	fflush(stdout);
}

static long now_ms(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

static int open_port(int card, int port, unsigned int mode)
{
	PORT_STRUCT cfg;
	int h = CanOpenDriver(card, port);

	if (h < 0) {
		printf("CanOpenDriver(%d, %d): %d\n", card, port, h);
		return -1;
	}
	memset(&cfg, 0, sizeof(cfg));
	cfg.mode = mode;
	cfg.accMask = mode ? 0x1FFFFFFF : 0x7FF;
	cfg.baudrate = PCI5C3A_BAUD_500K;
	if (CanConfigPort(h, &cfg) != PCI5C3A_OK) {
		printf("CanConfigPort: failed\n");
		CanCloseDriver(h);
		return -1;
	}
	return h;
}

int main(int argc, char **argv)
{
	CAN_PACKET p;
	int card, port, h, i, got = 0;
	unsigned int mode;
	long deadline;

	if (argc < 4)
		goto usage;
	card = atoi(argv[2]);
	port = atoi(argv[3]);
	if (!strcmp(argv[1], "open") && argc == 4) {
		h = CanOpenDriver(card, port);
		if (h < 0) {
			printf("refused\n");
			return 1;
		}
		printf("handle %d\n", h);
		CanCloseDriver(h);
		return 0;
	}
	if (argc < 5)
		goto usage;
	mode = (unsigned int)atoi(argv[4]);
	if (!strcmp(argv[1], "send") && argc > 5) {
		h = open_port(card, port, mode);
		if (h < 0)
			return 2;
		for (i = 5; i < argc; i++) {
			if (parse_frame(argv[i], &p)) {
				printf("bad frame %s\n", argv[i]);
				return 2;
			}
			if (CanSendMsg(h, &p) != PCI5C3A_OK) {
				printf("CanSendMsg %s: failed\n", argv[i]);
				return 2;
			}
		}
		CanCloseDriver(h);
		return 0;
	}
	if (!strcmp(argv[1], "recv") && argc == 7) {
		int count = atoi(argv[5]);

		h = open_port(card, port, mode);
		if (h < 0)
			return 2;
		printf("ready\n");
		fflush(stdout);
		deadline = now_ms() + atol(argv[6]);
		while (got < count && now_ms() < deadline) {
			if (CanGetRcvCnt(h) > 0 && CanRcvMsg(h, &p) == PCI5C3A_OK) {
				print_frame(&p, mode);
				got++;
			} else {
				usleep(2000);
			}
		}
		CanCloseDriver(h);
		return got == count ? 0 : 1;
	}
usage:
	fprintf(stderr, "usage: lib_peer open CARD PORT | send CARD PORT MODE FRAME... | recv CARD PORT MODE COUNT MS\n");
	return 2;
}
