// SPDX-License-Identifier: GPL-2.0
/*
 * uffd_stall: a request whose reply lands in a page that faults slowly must
 * not hold up the rest of the card. For kernel/tests/driver-parts-stall.sh.
 *
 *   uffd_stall FROM TO BDF KIND   # KIND: receive, reg_read or rcv_count
 *
 * FROM and TO are handles (2 * card + port) of the test cable's two ends;
 * TO's card is the one under test, BDF its PCI address. The record of one
 * request of KIND (REQ_RECEIVE of TO with a frame from FROM queued there,
 * REQ_REG_READ of TO's status register, REQ_RCV_COUNT of TO)
 * sits in an anonymous page that a userfaultfd write-protects: the driver's
 * copy_from_user of the request reads it, its copy_to_user of the reply
 * faults and waits until this program lifts the protection. While that
 * request waits in the kernel:
 *
 *   - another process's REQ_RCV_COUNT on the same card completes,
 *   - its REQ_SEND from FROM completes and the frame's receive signal
 *     (its file of TO's card has TO's notification on) reaches it,
 *   - writing BDF to the driver's unbind file returns.
 *
 * Each wait is bounded (10 s); on a timeout the case fails and the program
 * goes on: lifting the protection lets everything that waited finish.
 * Then the stalled request returns either 0 with its reply (for a receive,
 * the frame sent before the stall, not lost) or ENODEV (the card went
 * meanwhile). One "PASS name" or "FAIL name: why" line a case; exit status
 * 0 when all pass, 1 when one fails, 2 for bad arguments or a setup that
 * did not work (no userfaultfd write protection, no card).
 *
 * The card is left unbound (when the unbind went through): the suite binds
 * it again.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "pci_5C3A_ioctl.h"
#include "port_setup.h"
#include "sja1000.h"

#define WAIT_MS 10000
#define FRAME_ID 0x120
#define FRAME_TAG 0xA5

static int failures;
static const char *kind;
static int card_fd, from_fd, port0, port1;	/* port0: FROM, port1: TO (handles) */

static void result(const char *name, int ok, const char *why)
{
	if (ok) {
		printf("PASS %s: %s\n", kind, name);
	} else {
		printf("FAIL %s: %s: %s\n", kind, name, why);
		failures++;
	}
	fflush(stdout);
}

static int rcv_count(int fd, int handle)
{
	RCV_COUNT c;

	memset(&c, 0, sizeof(c));
	c.handle = handle;
	return req(fd, REQ_RCV_COUNT, &c) == 0 ? c.count : -1;
}

static int send_frame(int fd, int handle, unsigned char tag)
{
	MSG_XFER x;

	memset(&x, 0, sizeof(x));
	x.handle = handle;
	x.packet.id = FRAME_ID;
	x.packet.len = 1;
	x.packet.data[0] = tag;
	return req(fd, REQ_SEND, &x);
}

static long now_ms(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000L + t.tv_nsec / 1000000;
}

static void sleep_ms(long ms)
{
	struct timespec t = { ms / 1000, (ms % 1000) * 1000000L };

	nanosleep(&t, NULL);
}

/* A line from fd within ms milliseconds into buf; 0 on a timeout or EOF. */
static int read_line(int fd, char *buf, size_t size, long ms)
{
	long deadline = now_ms() + ms;
	size_t n = 0;
	struct pollfd p = { fd, POLLIN, 0 };

	while (n + 1 < size) {
		long left = deadline - now_ms();
		char c;

		if (left <= 0 || poll(&p, 1, (int)left) != 1)
			break;
		if (read(fd, &c, 1) != 1)
			break;
		if (c == '\n') {
			buf[n] = 0;
			return 1;
		}
		buf[n++] = c;
	}
	buf[n] = 0;
	return 0;
}

/* waitpid within ms milliseconds; the exit status or -1. */
static int wait_child(pid_t pid, long ms)
{
	long deadline = now_ms() + ms;
	int s;

	for (;;) {
		if (waitpid(pid, &s, WNOHANG) == pid)
			return WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
		if (now_ms() >= deadline)
			return -1;
		sleep_ms(20);
	}
}

/*
 * The other process: its own descriptors of the cards, TO's notification
 * on and itself the owner, set up before the stall. On "go" it makes its
 * requests and reports one line after each: "count N", "send E",
 * "signal OK"/"signal none".
 */
static void other_process(int up, int down)
{
	int sig = port1 % 2 ? PCI5C3A_SIG_PORT1 : PCI5C3A_SIG_PORT0;
	struct timespec wait = { WAIT_MS / 1000, 0 };
	unsigned short on = 1;
	char path[32], go;
	sigset_t set;
	int fd, sfd, e;

	alarm(60);	/* whatever happens, it ends */
	sigemptyset(&set);
	sigaddset(&set, sig);
	sigprocmask(SIG_BLOCK, &set, NULL);
	snprintf(path, sizeof(path), PCI5C3A_DEVICE_FORMAT, port1 / 2);
	fd = open(path, O_RDWR);
	snprintf(path, sizeof(path), PCI5C3A_DEVICE_FORMAT, port0 / 2);
	sfd = port0 / 2 == port1 / 2 ? fd : open(path, O_RDWR);
	if (fd < 0 || sfd < 0 || fcntl(fd, F_SETOWN, getpid()) != 0 ||
	    req(fd, port1 % 2 ? REQ_EVENT_PORT1 : REQ_EVENT_PORT0, &on) != 0) {
		dprintf(up, "setup %s\n", strerror(errno));
		_exit(1);
	}
	dprintf(up, "ready\n");
	if (read(down, &go, 1) != 1)
		_exit(1);
	dprintf(up, "count %d\n", rcv_count(fd, port1));
	e = send_frame(sfd, port0, FRAME_TAG + 1);
	dprintf(up, "send %s\n", e ? strerror(e) : "OK");
	if (!e) {
		e = sigtimedwait(&set, NULL, &wait);
		dprintf(up, "signal %s\n", e == sig ? "OK" : "none");
	}
	_exit(0);
}

/* The stalled request, in a thread of its own. */
static void *record;
static volatile int stalled_done, stalled_errno;

static void *stalled_request(void *arg)
{
	unsigned long code = strcmp(kind, "receive") == 0 ? REQ_RECEIVE :
			     strcmp(kind, "reg_read") == 0 ? REQ_REG_READ :
							     REQ_RCV_COUNT;

	(void)arg;
	stalled_errno = req(card_fd, code, record);
	__atomic_store_n(&stalled_done, 1, __ATOMIC_SEQ_CST);
	return NULL;
}

/* The uffd: one page, write-protected; -1 when that is not available. */
static int protect_page(void *page, long size)
{
	struct uffdio_api api = { .api = UFFD_API };
	struct uffdio_register reg;
	struct uffdio_writeprotect wp;
	int uffd;

	uffd = (int)syscall(__NR_userfaultfd, O_CLOEXEC | O_NONBLOCK);
	if (uffd < 0) {
		printf("userfaultfd: %s\n", strerror(errno));
		return -1;
	}
	if (ioctl(uffd, UFFDIO_API, &api) != 0 ||
	    !(api.features & UFFD_FEATURE_PAGEFAULT_FLAG_WP)) {
		printf("userfaultfd: no write protection (features %llx)\n",
		       (unsigned long long)api.features);
		return -1;
	}
	memset(&reg, 0, sizeof(reg));
	reg.range.start = (unsigned long)page;
	reg.range.len = size;
	reg.mode = UFFDIO_REGISTER_MODE_WP;
	memset(&wp, 0, sizeof(wp));
	wp.range = reg.range;
	wp.mode = UFFDIO_WRITEPROTECT_MODE_WP;
	if (ioctl(uffd, UFFDIO_REGISTER, &reg) != 0 ||
	    ioctl(uffd, UFFDIO_WRITEPROTECT, &wp) != 0) {
		printf("userfaultfd: write-protecting anonymous memory: %s\n", strerror(errno));
		return -1;
	}
	return uffd;
}

/* Lifts the protection and wakes whatever waits on the page. */
static void release_page(int uffd, void *page, long size)
{
	struct uffdio_writeprotect wp;

	memset(&wp, 0, sizeof(wp));
	wp.range.start = (unsigned long)page;
	wp.range.len = size;
	wp.mode = 0;
	if (ioctl(uffd, UFFDIO_WRITEPROTECT, &wp) != 0)
		printf("lifting the write protection: %s (closing the userfaultfd instead)\n",
		       strerror(errno));
	close(uffd);
}

/* The page fault of the stalled request's reply, within ms. */
static int fault_seen(int uffd, long ms)
{
	struct pollfd p = { uffd, POLLIN, 0 };
	struct uffd_msg msg;

	if (poll(&p, 1, (int)ms) != 1 || read(uffd, &msg, sizeof(msg)) != sizeof(msg))
		return 0;
	return msg.event == UFFD_EVENT_PAGEFAULT && (msg.arg.pagefault.flags & UFFD_PAGEFAULT_FLAG_WP);
}

static pid_t start_unbind(const char *bdf)
{
	pid_t pid = fork();

	if (pid == 0) {
		int fd = open("/sys/bus/pci/drivers/pci5c3a/unbind", O_WRONLY);
		ssize_t n = fd < 0 ? -1 : write(fd, bdf, strlen(bdf));

		_exit(n == (ssize_t)strlen(bdf) ? 0 : 1);
	}
	return pid;
}

int main(int argc, char **argv)
{
	long page_size = sysconf(_SC_PAGESIZE);
	int up[2], down[2], uffd, st, n, fault, count_ok, unbind_ok;
	char path[32], line[64], why[160];
	pthread_t thread;
	pid_t other, unbind;
	void *page;

	if (argc != 5 || (strcmp(argv[4], "receive") && strcmp(argv[4], "reg_read") &&
			  strcmp(argv[4], "rcv_count")) ||
	    (port0 = atoi(argv[1])) < 0 || (port1 = atoi(argv[2])) < 0 || port0 == port1 ||
	    port0 > 7 || port1 > 7) {
		fprintf(stderr, "usage: uffd_stall FROM TO BDF receive|reg_read|rcv_count (handles 0..7)\n");
		return 2;
	}
	kind = argv[4];
	snprintf(path, sizeof(path), PCI5C3A_DEVICE_FORMAT, port1 / 2);
	card_fd = open(path, O_RDWR);
	if (card_fd < 0) {
		printf("open %s: %s\n", path, strerror(errno));
		return 2;
	}
	snprintf(path, sizeof(path), PCI5C3A_DEVICE_FORMAT, port0 / 2);
	from_fd = port0 / 2 == port1 / 2 ? card_fd : open(path, O_RDWR);
	if (from_fd < 0) {
		printf("open %s: %s\n", path, strerror(errno));
		return 2;
	}
	port_configure(from_fd, port0 % 2, IRQ_RI);
	port_configure(card_fd, port1 % 2, IRQ_RI);
	for (n = 0; n < 2000 && rcv_count(card_fd, port1) > 0; n++) {
		MSG_XFER x = { .handle = port1 };

		req(card_fd, REQ_RECEIVE, &x);
	}

	if (pipe(up) || pipe(down))
		return 2;
	other = fork();
	if (other == 0) {
		close(up[0]);
		close(down[1]);
		other_process(up[1], down[0]);
	}
	close(up[1]);
	close(down[0]);
	if (!read_line(up[0], line, sizeof(line), WAIT_MS) || strcmp(line, "ready")) {
		printf("the other process did not set up: %s\n", line);
		kill(other, SIGKILL);
		return 2;
	}

	/* The frame the stalled receive takes. */
	if (send_frame(from_fd, port0, FRAME_TAG) != 0) {
		printf("REQ_SEND on handle %d: %s\n", port0, strerror(errno));
		return 2;
	}
	for (n = 0; n < 500 && rcv_count(card_fd, port1) < 1; n++)
		sleep_ms(10);
	if (rcv_count(card_fd, port1) != 1) {
		printf("the frame sent on handle %d is not queued on handle %d (count %d)\n",
		       port0, port1, rcv_count(card_fd, port1));
		return 2;
	}

	page = mmap(NULL, page_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (page == MAP_FAILED)
		return 2;
	memset(page, 0, page_size);	/* present before it is protected */
	record = page;
	if (strcmp(kind, "reg_read") == 0)
		((REG_ACCESS *)record)->addr = (port1 % 2) * PCI5C3A_PORT_WINDOW + REG_SR;
	else if (strcmp(kind, "rcv_count") == 0)
		((RCV_COUNT *)record)->handle = port1;
	else
		((MSG_XFER *)record)->handle = port1;
	uffd = protect_page(page, page_size);
	if (uffd < 0)
		return 2;
	if (pthread_create(&thread, NULL, stalled_request, NULL) != 0)
		return 2;

	fault = fault_seen(uffd, WAIT_MS);
	result("the request waits in the kernel on its reply's write-protected page", fault,
	       __atomic_load_n(&stalled_done, __ATOMIC_SEQ_CST) ?
	       "it returned without faulting" : "no page fault within 10 s");
	if (fault) {
		if (write(down[1], "g", 1) != 1)
			return 2;
		count_ok = read_line(up[0], line, sizeof(line), WAIT_MS);
		snprintf(why, sizeof(why), "%s", line);
		result("meanwhile another process's REQ_RCV_COUNT on the card completes",
		       count_ok && strncmp(line, "count ", 6) == 0 && atoi(line + 6) >= 1,
		       count_ok ? why : "still blocked after 10 s: the stalled request holds the card's lock");
		if (count_ok) {
			n = read_line(up[0], line, sizeof(line), WAIT_MS);
			result("meanwhile its REQ_SEND completes", n && strcmp(line, "send OK") == 0,
			       n ? line : "still blocked after 10 s: the stalled request holds the card's lock");
			if (n && strcmp(line, "send OK") == 0) {
				n = read_line(up[0], line, sizeof(line), WAIT_MS + 2000);
				result("meanwhile its frame's receive signal reaches it",
				       n && strcmp(line, "signal OK") == 0,
				       n ? "no signal within 10 s: the signal work waits for the card's lock" :
				       "no report");
			}
		}
		unbind = start_unbind(argv[3]);
		st = wait_child(unbind, WAIT_MS);
		unbind_ok = st == 0;
		snprintf(why, sizeof(why), "the write to unbind failed (status %d)", st);
		result("meanwhile unbinding the card returns", unbind_ok,
		       st < 0 ? "still blocked after 10 s: the stalled request holds the card's lock" : why);
		if (st >= 0)
			unbind = -1;	/* reaped: nothing left to wait for */
	} else {
		unbind = -1;
	}

	release_page(uffd, page, page_size);
	for (n = 0; n < WAIT_MS / 10 && !__atomic_load_n(&stalled_done, __ATOMIC_SEQ_CST); n++)
		sleep_ms(10);
	if (!__atomic_load_n(&stalled_done, __ATOMIC_SEQ_CST)) {
		result("the stalled request returns once its page is writable", 0,
		       "still waiting 10 s after the protection was lifted");
		return 1;	/* the thread is stuck in the kernel: nothing more to learn */
	}
	pthread_join(thread, NULL);
	if (stalled_errno == ENODEV) {
		result("the stalled request returns: ENODEV (the card went meanwhile)", 1, "");
	} else if (stalled_errno) {
		snprintf(why, sizeof(why), "%s (want 0 or ENODEV)", strerror(stalled_errno));
		result("the stalled request returns 0 or ENODEV", 0, why);
	} else if (strcmp(kind, "receive") == 0) {
		MSG_XFER *x = record;

		snprintf(why, sizeof(why), "handle %d id %#x len %u data[0] %#x (want id %#x len 1 data[0] %#x)",
			 x->handle, x->packet.id, x->packet.len, x->packet.data[0], FRAME_ID, FRAME_TAG);
		result("the stalled receive returns 0 with the frame queued before it", x->handle == port1 &&
		       x->packet.id == FRAME_ID && x->packet.len == 1 && x->packet.data[0] == FRAME_TAG, why);
	} else if (strcmp(kind, "rcv_count") == 0) {
		RCV_COUNT *c = record;

		snprintf(why, sizeof(why), "count %u (want at least 1)", c->count);
		result("the stalled REQ_RCV_COUNT returns 0 with the queue's length", c->count >= 1, why);
	} else {
		REG_ACCESS *r = record;

		snprintf(why, sizeof(why), "status %#x (want transmit buffer released)", r->data);
		result("the stalled REQ_REG_READ returns 0 with the status register", r->data & SR_TBS, why);
	}

	/* What waited on the card's lock finishes now that it is free. */
	if (unbind > 0 && wait_child(unbind, WAIT_MS) < 0)
		result("unbinding returns once the stalled request is done", 0, "still blocked");
	if (wait_child(other, WAIT_MS) < 0) {
		kill(other, SIGKILL);
		wait_child(other, 1000);
	}
	close(card_fd);
	return failures ? 1 : 0;
}
