// SPDX-License-Identifier: GPL-2.0-only OR MIT
/*
 * smoke.c - the driver's requests on a card whose two ports share one bus
 * (a QEMU guest with a pcm3680_pci or mioe3680_pci board), without the
 * library: raw ioctls with the shared header's codes and records.
 *
 *   smoke CARD            # loop-back, errors, signals, counters
 *   smoke CARD unbind BDF # the card removed under an open descriptor
 *
 * Prints "PASS name" or "FAIL name: detail" per case; exits 1 on a failure.
 * Every wait is bounded. Identifiers have their low three bits 0 so that
 * they pass QEMU 7.2's single acceptance filter (it compares ID.2-0 even
 * under a "don't care" mask).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "pci_5C3A_ioctl.h"
#include "port_setup.h"
#include "sja1000.h"

static int failures;
static volatile sig_atomic_t signals_port0, signals_port1;

#define CHECK(name, cond, ...)                                  \
    do {                                                        \
        if (cond) {                                             \
            printf("PASS %s\n", name);                          \
        } else {                                                \
            printf("FAIL %s: ", name);                          \
            printf(__VA_ARGS__);                                \
            printf("\n");                                       \
            failures++;                                         \
        }                                                       \
    } while (0)

static void on_signal(int sig) {
    if (sig == PCI5C3A_SIG_PORT0) signals_port0++;
    if (sig == PCI5C3A_SIG_PORT1) signals_port1++;
}

static int reg_read(int fd, unsigned addr) {
    REG_ACCESS r = {0, addr, 0, {0, 0, 0}};
    return req(fd, REQ_REG_READ, &r) == 0 ? r.data : -1;
}

/* The port as the library configures it, transmit and overrun interrupts
 * on as well. */
static void configure(int fd, int port) { port_configure(fd, port, IRQ_RI | IRQ_TI | IRQ_DOI); }

static int count(int fd, int handle) {
    RCV_COUNT c = {handle, 0, {0, 0}};
    return req(fd, REQ_RCV_COUNT, &c) == 0 ? c.count : -1;
}

static int wait_count(int fd, int handle, int want) {
    int n = 0, i;
    for (i = 0; i < 200 && (n = count(fd, handle)) < want; i++) usleep(10000);
    return n;
}

static int send(int fd, int handle, unsigned id, int len, unsigned char seed) {
    MSG_XFER x;
    int i;
    memset(&x, 0, sizeof x);
    x.handle = handle;
    x.packet.id = id;
    x.packet.len = (unsigned char)len;
    for (i = 0; i < 8; i++) x.packet.data[i] = (unsigned char)(seed + i);
    return req(fd, REQ_SEND, &x);
}

static int set_mode(int fd, int handle, unsigned mode) {
    MODE_SET m = {handle, mode};
    return req(fd, REQ_SET_MODE, &m);
}

static int event(int fd, unsigned long code, unsigned short on) { return req(fd, code, &on); }

static long counter(int card, const char *name) {
    char path[128];
    long v = -1;
    FILE *f;
    snprintf(path, sizeof path, "/sys/class/pci5c3a/PCI5C3AW%d/%s", card, name);
    f = fopen(path, "r");
    if (!f) return -1;
    if (fscanf(f, "%ld", &v) != 1) v = -1;
    fclose(f);
    return v;
}

static void loopback(int fd, int card) {
    const int h0 = card * 2, h1 = card * 2 + 1;
    MSG_XFER x;
    int e, i, n;
    long rx_before = counter(card, "port1/rx_frames");

    configure(fd, 0);
    configure(fd, 1);
    CHECK("set_mode", set_mode(fd, h0, 0) == 0 && set_mode(fd, h1, 0) == 0, "refused");

    /* Standard frames, port 0 to port 1, with a signal per frame. */
    CHECK("event_port1_on", event(fd, REQ_EVENT_PORT1, 1) == 0, "refused");
    e = send(fd, h0, 0x008, 8, 0x10);
    CHECK("send_first", e == 0, "errno %d", e);
    e = send(fd, h0, 0x7F0, 3, 0x20);
    CHECK("send_second", e == 0, "errno %d", e);
    n = wait_count(fd, h1, 2);
    CHECK("rcv_count", n == 2, "count %d", n);
    CHECK("nothing_on_sender", count(fd, h0) == 0, "count %d", count(fd, h0));

    memset(&x, 0xEE, sizeof x);
    x.handle = h1;
    e = req(fd, REQ_RECEIVE, &x);
    CHECK("receive_first", e == 0 && x.packet.id == 0x008 && x.packet.len == 8 && x.packet.rtr == 0 &&
                               x.packet.data[0] == 0x10 && x.packet.data[7] == 0x17 && x.packet.reserved[0] == 0,
          "errno %d id 0x%x len %u data %02x..%02x", e, x.packet.id, x.packet.len, x.packet.data[0],
          x.packet.data[7]);
    x.handle = h1;
    e = req(fd, REQ_RECEIVE, &x);
    CHECK("receive_second", e == 0 && x.packet.id == 0x7F0 && x.packet.len == 3 && x.packet.data[2] == 0x22 &&
                                x.packet.data[3] == 0,
          "errno %d id 0x%x len %u", e, x.packet.id, x.packet.len);
    x.handle = h1;
    e = req(fd, REQ_RECEIVE, &x);
    CHECK("receive_empty_eagain", e == EAGAIN, "errno %d", e);
    for (i = 0; i < 100 && signals_port1 < 2; i++) usleep(10000);
    CHECK("signal_62_per_frame", signals_port1 == 2 && signals_port0 == 0, "port1 %d port0 %d",
          (int)signals_port1, (int)signals_port0);

    /* The other way, extended identifiers, notification off. */
    CHECK("event_port1_off", event(fd, REQ_EVENT_PORT1, 0) == 0, "refused");
    set_mode(fd, h0, 1);
    set_mode(fd, h1, 1);
    e = send(fd, h1, 0x12345678, 1, 0x42);
    n = wait_count(fd, h0, 1);
    memset(&x, 0, sizeof x);
    x.handle = h0;
    CHECK("extended_port1_to_port0",
          e == 0 && n == 1 && req(fd, REQ_RECEIVE, &x) == 0 && x.packet.id == 0x12345678 && x.packet.len == 1 &&
              x.packet.data[0] == 0x42,
          "send errno %d count %d id 0x%x", e, n, x.packet.id);
    usleep(50000);
    CHECK("no_signal_when_off", signals_port1 == 2 && signals_port0 == 0, "port1 %d port0 %d",
          (int)signals_port1, (int)signals_port0);
    set_mode(fd, h0, 0);
    set_mode(fd, h1, 0);

    /* Receive interrupt off: frames wait in the chip; switching it on
     * brings them into the queue. */
    reg_write(fd, PCI5C3A_PORT_WINDOW + REG_IER, IRQ_TI | IRQ_DOI);
    send(fd, h0, 0x100, 2, 0);
    usleep(50000);
    n = count(fd, h1);
    CHECK("ri_off_frames_wait", n == 0 && (reg_read(fd, PCI5C3A_PORT_WINDOW + REG_SR) & SR_RBS),
          "count %d status 0x%02x", n, reg_read(fd, PCI5C3A_PORT_WINDOW + REG_SR));
    reg_write(fd, PCI5C3A_PORT_WINDOW + REG_IER, IRQ_RI | IRQ_TI | IRQ_DOI);
    n = wait_count(fd, h1, 1);
    x.handle = h1;
    CHECK("ri_on_drains", n == 1 && req(fd, REQ_RECEIVE, &x) == 0 && x.packet.id == 0x100, "count %d", n);

    /* Counters */
    CHECK("sysfs_rx_frames", counter(card, "port1/rx_frames") - rx_before == 3, "rx_frames %ld, before %ld",
          counter(card, "port1/rx_frames"), rx_before);
    CHECK("sysfs_tx_frames", counter(card, "port0/tx_frames") >= 3, "tx_frames %ld",
          counter(card, "port0/tx_frames"));
    CHECK("sysfs_interrupts", counter(card, "port1/interrupts") >= 1, "interrupts %ld",
          counter(card, "port1/interrupts"));
}

/* Notification on before any F_SETOWN: on 6.12 the file has no owner
 * record yet. The frame still arrives and nothing is signalled. */
static void no_owner(int fd, int card) {
    MSG_XFER x;
    int n;

    configure(fd, 0);
    configure(fd, 1);
    set_mode(fd, card * 2, 0);
    event(fd, REQ_EVENT_PORT1, 1);
    send(fd, card * 2, 0x018, 1, 0);
    n = wait_count(fd, card * 2 + 1, 1);
    memset(&x, 0, sizeof x);
    x.handle = card * 2 + 1;
    CHECK("notify_without_owner", n == 1 && req(fd, REQ_RECEIVE, &x) == 0 && x.packet.id == 0x018,
          "count %d id 0x%x", n, x.packet.id);
    event(fd, REQ_EVENT_PORT1, 0);
    usleep(50000);
    CHECK("no_signal_without_owner", signals_port1 == 0, "port1 %d", (int)signals_port1);
}

static void errors(int fd, int card) {
    REG_ACCESS r = {0, 0, 0, {0, 0, 0}};
    MSG_XFER x;
    int e;

    CHECK("unknown_code_enotty", req(fd, _IO('S', 0x40), &r) == ENOTTY, "errno %d", req(fd, _IO('S', 0x40), &r));
    CHECK("null_record_efault", req(fd, REQ_REG_READ, NULL) == EFAULT, "errno %d", req(fd, REQ_REG_READ, NULL));
    r.addr = 256;
    CHECK("addr_256_einval", req(fd, REQ_REG_READ, &r) == EINVAL, "errno %d", req(fd, REQ_REG_READ, &r));
    CHECK("led_readback", reg_write(fd, PCI5C3A_LED_ADDR, 0x5A) == 0 && reg_read(fd, PCI5C3A_LED_ADDR) == 0x5A,
          "read 0x%02x", reg_read(fd, PCI5C3A_LED_ADDR));
    r.addr = PCI5C3A_LED_ADDR;
    r.data = 0xFF;
    CHECK("last_close_sets_led", req(fd, REQ_LAST_CLOSE, &r) == 0 && reg_read(fd, PCI5C3A_LED_ADDR) == 0xFF,
          "read 0x%02x", reg_read(fd, PCI5C3A_LED_ADDR));
    CHECK("undecoded_reads_0", reg_write(fd, 40, 0x77) == 0 && reg_read(fd, 40) == 0 && reg_read(fd, 128 + 100) == 0,
          "read 0x%02x", reg_read(fd, 40));
    r.addr = 64;
    CHECK("port_close_bad_base_einval", req(fd, REQ_PORT_CLOSE, &r) == EINVAL, "errno %d",
          req(fd, REQ_PORT_CLOSE, &r));
    r.addr = 128;
    r.data = 1;
    CHECK("port_close", req(fd, REQ_PORT_CLOSE, &r) == 0, "errno %d", req(fd, REQ_PORT_CLOSE, &r));
    CHECK("foreign_handle_einval", send(fd, card == 0 ? 2 : 0, 0x8, 0, 0) == EINVAL && count(fd, 8) == -1,
          "send errno %d", send(fd, card == 0 ? 2 : 0, 0x8, 0, 0));
    CHECK("len_9_einval", send(fd, card * 2, 0x8, 9, 0) == EINVAL, "errno %d", send(fd, card * 2, 0x8, 9, 0));
    CHECK("set_mode_2_einval", set_mode(fd, card * 2, 2) == EINVAL, "refused");
    memset(&x, 0, sizeof x);
    x.handle = card * 2;
    CHECK("receive_bad_buffer_efault", req(fd, REQ_RECEIVE, (void *)8) == EFAULT, "errno %d",
          req(fd, REQ_RECEIVE, (void *)8));

    reg_write(fd, REG_MOD, MOD_RM);
    e = send(fd, card * 2, 0x8, 0, 0);
    CHECK("send_reset_mode_eio", e == EIO, "errno %d", e);
    reg_write(fd, REG_MOD, MOD_AFM | MOD_LOM); /* listen-only is set in reset mode */
    e = send(fd, card * 2, 0x8, 0, 0);
    CHECK("send_listen_only_eio", e == EIO, "errno %d", e);
    reg_write(fd, REG_MOD, MOD_RM);
    reg_write(fd, REG_MOD, MOD_AFM);
}

static int unbind(int fd, const char *bdf) {
    FILE *f = fopen("/sys/bus/pci/drivers/pci5c3a/unbind", "w");
    int e;
    if (!f || fputs(bdf, f) < 0 || fclose(f) != 0) {
        printf("FAIL unbind: cannot write %s to unbind\n", bdf);
        return 1;
    }
    e = count(fd, 0) == -1 ? errno : 0;
    CHECK("request_after_unbind_enodev", e == ENODEV, "errno %d", e);
    CHECK("event_after_unbind_enodev", event(fd, REQ_EVENT_PORT0, 1) == ENODEV, "errno %d",
          event(fd, REQ_EVENT_PORT0, 1));
    CHECK("close_after_unbind", close(fd) == 0, "errno %d", errno);
    CHECK("open_after_unbind_fails", open("/dev/PCI5C3AW0", O_RDWR) < 0, "opened");
    return failures ? 1 : 0;
}

int main(int argc, char **argv) {
    char path[32];
    struct sigaction sa;
    int card, fd;

    if (argc < 2) {
        fprintf(stderr, "usage: smoke CARD [unbind BDF]\n");
        return 2;
    }
    card = atoi(argv[1]);
    snprintf(path, sizeof path, PCI5C3A_DEVICE_FORMAT, card);
    fd = open(path, O_RDWR);
    if (fd < 0) {
        printf("FAIL open: %s: %s\n", path, strerror(errno));
        return 1;
    }
    printf("PASS open %s (%d-bit)\n", path, (int)sizeof(long) * 8);
    if (argc == 4 && strcmp(argv[2], "unbind") == 0) return unbind(fd, argv[3]);

    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;
    sigaction(PCI5C3A_SIG_PORT0, &sa, NULL);
    sigaction(PCI5C3A_SIG_PORT1, &sa, NULL);
    no_owner(fd, card);
    CHECK("f_setown", fcntl(fd, F_SETOWN, getpid()) == 0, "errno %d", errno);

    loopback(fd, card);
    errors(fd, card);
    close(fd);
    return failures ? 1 : 0;
}
