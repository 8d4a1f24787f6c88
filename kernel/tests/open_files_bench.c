// SPDX-License-Identifier: GPL-2.0
/*
 * open_files_bench: what one received frame costs with one open file of the
 * card and with many. For bench/open-files-bench.sh (a benchmark, not a
 * test).
 *
 *   open_files_bench CARD FILES FRAMES     # e.g. 0 10001 2000
 *
 * Port 0 of card CARD (both ports on one bus) sends a frame, port 1
 * receives it: one open file has port 1's notification on and owns it
 * (F_SETOWN); the program waits for that signal (62) and takes the frame
 * (REQ_RECEIVE), one frame at a time, and times the round from the send to
 * the frame in hand. First with that one file open, then with FILES - 1
 * more files of the card open (they only open /dev/PCI5C3AWn; none
 * listens). The interrupt handler and the signal work visit the card's
 * files for every frame queued: the second figure should not grow with the
 * number of files that do not listen.
 *
 * Output, one line a round and the ratio:
 *   files=1 frames=N median_us=M p90_us=P
 *   files=FILES frames=N median_us=M p90_us=P
 *   ratio median FILES/1 = R
 * Exit status 0, 1 when a frame or a signal went missing (2 s each) or a
 * request failed, 2 for bad arguments or too few descriptors.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "pci_5C3A_ioctl.h"
#include "port_setup.h"
#include "sja1000.h"

#define WARMUP 50

static int port0, port1;

static double now_us(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static int cmp_double(const void *a, const void *b)
{
	double x = *(const double *)a, y = *(const double *)b;

	return x < y ? -1 : x > y;
}

/*
 * FRAMES rounds (after WARMUP unrecorded ones); the median in *median.
 * 0, or 1 when a round failed (the reason printed).
 */
static int rounds(int fd, int files, int frames, double *t, double *median)
{
	struct timespec two_s = { 2, 0 };
	sigset_t set;
	int i, e, tries;

	sigemptyset(&set);
	sigaddset(&set, PCI5C3A_SIG_PORT1);
	for (i = -WARMUP; i < frames; i++) {
		MSG_XFER x;
		double t0;

		memset(&x, 0, sizeof(x));
		x.handle = port0;
		x.packet.id = 0x100 + 8 * (i & 0xff);
		x.packet.len = 2;
		x.packet.data[0] = (unsigned char)i;
		x.packet.data[1] = (unsigned char)(i >> 8);
		t0 = now_us();
		for (tries = 0; (e = req(fd, REQ_SEND, &x)) == EBUSY && tries < 100000; tries++)
			;
		if (e) {
			printf("files=%d frame %d: REQ_SEND: %s\n", files, i, strerror(e));
			return 1;
		}
		if (sigtimedwait(&set, NULL, &two_s) != PCI5C3A_SIG_PORT1) {
			printf("files=%d frame %d: no signal 62 within 2 s\n", files, i);
			return 1;
		}
		memset(&x, 0, sizeof(x));
		x.handle = port1;
		e = req(fd, REQ_RECEIVE, &x);
		if (e || x.packet.data[0] != (unsigned char)i ||
		    x.packet.data[1] != (unsigned char)(i >> 8)) {
			printf("files=%d frame %d: REQ_RECEIVE: %s, data %02x %02x\n", files, i,
			       e ? strerror(e) : "OK", x.packet.data[0], x.packet.data[1]);
			return 1;
		}
		if (i >= 0)
			t[i] = now_us() - t0;
	}
	qsort(t, frames, sizeof(*t), cmp_double);
	*median = t[frames / 2];
	printf("files=%d frames=%d median_us=%.1f p90_us=%.1f\n", files, frames, *median,
	       t[frames * 9 / 10]);
	fflush(stdout);
	return 0;
}

int main(int argc, char **argv)
{
	unsigned short on = 1;
	struct rlimit rl;
	double *t, one, many;
	char path[32];
	int card, files, frames, fd, i;
	sigset_t set;

	if (argc != 4 || (files = atoi(argv[2])) < 1 || (frames = atoi(argv[3])) < 10) {
		fprintf(stderr, "usage: open_files_bench CARD FILES FRAMES (FILES >= 1, FRAMES >= 10)\n");
		return 2;
	}
	card = atoi(argv[1]);
	port0 = 2 * card;
	port1 = 2 * card + 1;
	rl.rlim_cur = rl.rlim_max = (rlim_t)files + 64;
	if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
		printf("RLIMIT_NOFILE %d: %s\n", files + 64, strerror(errno));
		return 2;
	}
	t = calloc(frames, sizeof(*t));
	if (!t)
		return 2;
	snprintf(path, sizeof(path), PCI5C3A_DEVICE_FORMAT, card);
	fd = open(path, O_RDWR);
	if (fd < 0) {
		printf("open %s: %s\n", path, strerror(errno));
		return 2;
	}
	port_configure(fd, 0, IRQ_RI);
	port_configure(fd, 1, IRQ_RI);
	sigemptyset(&set);
	sigaddset(&set, PCI5C3A_SIG_PORT1);
	sigprocmask(SIG_BLOCK, &set, NULL);
	if (fcntl(fd, F_SETOWN, getpid()) != 0 || req(fd, REQ_EVENT_PORT1, &on) != 0) {
		printf("owner and notification of port 1: %s\n", strerror(errno));
		return 2;
	}

	if (rounds(fd, 1, frames, t, &one))
		return 1;
	for (i = 1; i < files; i++) {
		if (open(path, O_RDWR) < 0) {
			printf("open file %d of %s: %s\n", i + 1, path, strerror(errno));
			return 2;
		}
	}
	if (rounds(fd, files, frames, t, &many))
		return 1;
	printf("ratio median %d/1 = %.2f\n", files, many / one);
	return 0;
}
