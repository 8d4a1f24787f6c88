// SPDX-License-Identifier: MIT
/*
 * plx9030-board-probe.c - raw check of the emulated PLX 9030 bridged board
 * (plx9030_can_pci, both channels on one CAN bus) and of QEMU's kvaser_pci
 * board on the same bus, run as a static program in a test guest with no
 * driver bound to either board.
 *
 * It maps the PLX board's BAR0 (bridge registers) and BAR2 (controllers)
 * through /sys/bus/pci/devices/BDF/resourceN, reaches the kvaser board's
 * I/O BARs with inb/outb, and prints "PASS name" or "FAIL name: why" per
 * check, then "N passed, N failed"; exit status 1 on any failure. Polls
 * only: the interrupt line is seen through the bridges' status bits.
 */
#include <dirent.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/io.h>
#include <sys/mman.h>
#include <unistd.h>

#include "sja1000.h"

#define IORESOURCE_IO 0x100UL
#define IORESOURCE_MEM 0x200UL

/* PLX 9030 local configuration registers */
#define INTCSR 0x4C
#define CNTRL 0x50
#define INTCSR_LINT1_EN 0x01
#define INTCSR_LINT1_POL 0x02
#define INTCSR_LINT1_STAT 0x04
#define INTCSR_PCI_EN 0x40
#define CNTRL_RESET 0x40000000u

/* AMCC S5920 */
#define S5920_INTCSR 0x38
#define S5920_ADDON_INT_EN 0x2000u
#define S5920_INT_ASSERTED 0x800000u

#define CDR_PELICAN 0x80
#define CDR_CLKOFF 0x08

struct pci_dev {
    char dir[300];
    unsigned long start[6], len[6], flags[6];
};

static int passed, failed;
static volatile uint8_t *lcr8, *loc;
static volatile uint32_t *lcr32;
static unsigned long kv_s5920, kv_sja;

static void result(int ok, const char *name, const char *fmt, ...) {
    va_list ap;

    if (ok) {
        printf("PASS %s\n", name);
        passed++;
        return;
    }
    printf("FAIL %s: ", name);
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    failed++;
}

static unsigned long read_hex(const char *dir, const char *file) {
    char path[512];
    unsigned long v = 0;
    FILE *f;

    snprintf(path, sizeof(path), "%s/%s", dir, file);
    f = fopen(path, "r");
    if (!f) return 0;
    if (fscanf(f, "%lx", &v) != 1) v = 0;
    fclose(f);
    return v;
}

/* Finds a device by vendor and device ID, reads its BARs, enables it. */
static int find_dev(unsigned int vendor, unsigned int device, struct pci_dev *p) {
    DIR *d = opendir("/sys/bus/pci/devices");
    struct dirent *e;
    int found = 0;

    if (!d) {
        perror("/sys/bus/pci/devices");
        return -1;
    }
    while (!found && (e = readdir(d))) {
        char path[320];
        FILE *f;
        int bar;

        if (e->d_name[0] == '.') continue;
        snprintf(p->dir, sizeof(p->dir), "/sys/bus/pci/devices/%s", e->d_name);
        if (read_hex(p->dir, "vendor") != vendor || read_hex(p->dir, "device") != device) continue;
        snprintf(path, sizeof(path), "%s/resource", p->dir);
        f = fopen(path, "r");
        if (!f) break;
        for (bar = 0; bar < 6; bar++) {
            unsigned long end;

            if (fscanf(f, "%lx %lx %lx", &p->start[bar], &end, &p->flags[bar]) != 3) break;
            p->len[bar] = p->start[bar] && end >= p->start[bar] ? end - p->start[bar] + 1 : 0;
        }
        fclose(f);
        snprintf(path, sizeof(path), "%s/enable", p->dir);
        f = fopen(path, "w");
        if (!f || fputs("1", f) < 0 || fclose(f) != 0) {
            perror(path);
            break;
        }
        found = 1;
    }
    closedir(d);
    return found ? 0 : -1;
}

/* Maps memory BAR of P; the page holding it, plus its offset there. */
static volatile uint8_t *map_bar(const struct pci_dev *p, int bar) {
    long page = sysconf(_SC_PAGESIZE);
    unsigned long off = p->start[bar] & (unsigned long)(page - 1);
    size_t len = (off + p->len[bar] + (unsigned long)page - 1) & ~(unsigned long)(page - 1);
    char path[330];
    void *m;
    int fd;

    snprintf(path, sizeof(path), "%s/resource%d", p->dir, bar);
    fd = open(path, O_RDWR | O_SYNC);
    if (fd < 0) {
        perror(path);
        return NULL;
    }
    m = mmap(NULL, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (m == MAP_FAILED) {
        perror(path);
        return NULL;
    }
    return (volatile uint8_t *)m + off;
}

/* ---- the PLX board's controllers, at offset 0x000 and 0x100 of BAR2 ---- */

static unsigned int rd(unsigned int base, unsigned int reg) { return loc[base + reg]; }
static void wr(unsigned int base, unsigned int reg, unsigned int v) { loc[base + reg] = (uint8_t)v; }
static uint32_t intcsr(void) { return lcr32[INTCSR / 4]; }

/* The kvaser board's one controller, through I/O ports. */
static unsigned int kv_rd(unsigned int base, unsigned int reg) {
    return inb((unsigned short)(kv_sja + base + reg));
}
static void kv_wr(unsigned int base, unsigned int reg, unsigned int v) {
    outb((unsigned char)v, (unsigned short)(kv_sja + base + reg));
}

typedef unsigned int (*rd_fn)(unsigned int, unsigned int);
typedef void (*wr_fn)(unsigned int, unsigned int, unsigned int);

/*
 * The driver's detection: interrupts off, reset mode, then the BasicCAN
 * reset values (CR & 0xE1 == 0x21, SR == 0x0C, IR == 0xE0), PeliCAN, and its
 * reset values (MOD == 0x01, SR == 0x3C, IR == 0x00). Fills WHY on failure.
 */
static int detect(rd_fn r, wr_fn w, unsigned int base, char *why, size_t n) {
    unsigned int cr, sr, ir, mod, psr, pir;

    w(base, REG_IER, 0x00);
    w(base, REG_MOD, MOD_RM);
    cr = r(base, 0);
    sr = r(base, 2);
    ir = r(base, 3);
    w(base, REG_CDR, CDR_PELICAN);
    mod = r(base, REG_MOD);
    psr = r(base, REG_SR);
    pir = r(base, REG_IR);
    snprintf(why, n, "BasicCAN CR 0x%02x SR 0x%02x IR 0x%02x, PeliCAN MOD 0x%02x SR 0x%02x IR 0x%02x", cr, sr,
             ir, mod, psr, pir);
    return (cr & 0xE1) == 0x21 && sr == 0x0C && ir == 0xE0 && mod == 0x01 && psr == 0x3C && pir == 0x00;
}

/* Accept-all single filter, 500 kbit/s at 16 MHz, IER as given, running. */
static int configure(rd_fn r, wr_fn w, unsigned int base, unsigned int ier) {
    int i;

    w(base, REG_MOD, MOD_RM);
    w(base, REG_CDR, CDR_PELICAN);
    for (i = 0; i < 4; i++) {
        w(base, REG_ACR0 + i, 0x00);
        w(base, REG_AMR0 + i, 0xFF);
    }
    w(base, REG_BTR0, 0x00);
    w(base, REG_BTR1, 0x1C);
    w(base, REG_OCR, OCR_CARD);
    w(base, REG_MOD, MOD_AFM);
    w(base, REG_IER, ier);
    return !(r(base, REG_MOD) & MOD_RM);
}

/* Sends a standard data frame ID with bytes 0x5A, 0xA5; 0 when done. */
static int send_std(rd_fn r, wr_fn w, unsigned int base, unsigned int id) {
    if (!(r(base, REG_SR) & SR_TBS)) return -1;
    w(base, REG_FRAME, 2);
    w(base, REG_FRAME + 1, (id >> 3) & 0xFF);
    w(base, REG_FRAME + 2, (id << 5) & 0xE0);
    w(base, REG_FRAME + 3, 0x5A);
    w(base, REG_FRAME + 4, 0xA5);
    w(base, REG_CMR, CMD_TR);
    return (r(base, REG_SR) & (SR_TBS | SR_TCS)) == (SR_TBS | SR_TCS) ? 0 : -1;
}

/* Releases every waiting frame (at most 64); returns how many. */
static int drain(rd_fn r, wr_fn w, unsigned int base) {
    int n = 0;

    while (n < 64 && (r(base, REG_SR) & SR_RBS)) {
        w(base, REG_CMR, CMD_RRB);
        n++;
    }
    return n;
}

static void pulse_reset(void) {
    lcr32[CNTRL / 4] = CNTRL_RESET;
    lcr32[CNTRL / 4] = 0;
}

static void check_plx(const struct pci_dev *p) {
    char why[200];
    unsigned int v, i, bad;
    uint32_t x;
    static const struct {
        unsigned int reg, val, op;
        const char *name;
    } chip[] = {
        {REG_BTR0, 0x03, 0x41, "BTR0"}, {REG_BTR1, 0x1C, 0x2F, "BTR1"}, {REG_OCR, 0xDA, 0x1B, "OCR"},
        {13, 0x50, 0x7F, "EWL"},        {14, 0x12, 0x66, "RXERR"},      {15, 0x34, 0x77, "TXERR"},
    };

    result(read_hex(p->dir, "subsystem_vendor") == 0x1b36 && read_hex(p->dir, "subsystem_device") == 0x5c3a &&
               read_hex(p->dir, "class") == 0x0c0900,
           "plx9030 ids", "subsystem %04lx:%04lx class %06lx", read_hex(p->dir, "subsystem_vendor"),
           read_hex(p->dir, "subsystem_device"), read_hex(p->dir, "class"));
    result((p->flags[0] & IORESOURCE_MEM) && p->len[0] == 0x80 && (p->flags[2] & IORESOURCE_MEM) &&
               p->len[2] == 0x1000 && p->len[1] == 0,
           "plx9030 BARs", "BAR0 %#lx flags %#lx, BAR1 %#lx, BAR2 %#lx flags %#lx", p->len[0], p->flags[0],
           p->len[1], p->len[2], p->flags[2]);

    /* Bridge registers after reset; INTCSR's LINT1 status is the idle
     * input (low) seen through polarity 0 (active low): set. */
    x = intcsr();
    result(x == INTCSR_LINT1_STAT && lcr32[CNTRL / 4] == 0, "plx9030 INTCSR and CNTRL reset values",
           "INTCSR 0x%08x CNTRL 0x%08x", x, lcr32[CNTRL / 4]);

    /* Plain registers store every byte, word and dword access. */
    lcr32[0x00 / 4] = 0x11223344;
    lcr8[0x01] = 0xAB;
    ((volatile uint16_t *)lcr8)[0x02 / 2] = 0xCDEF;
    lcr32[0x28 / 4] = 0xFFFFFFFF;
    result(lcr32[0] == 0xCDEFAB44 && lcr8[3] == 0xCD && ((volatile uint16_t *)lcr8)[0] == 0xAB44 &&
               lcr32[0x28 / 4] == 0xFFFFFFFF,
           "plx9030 registers store byte, word and dword writes", "0x00 reads 0x%08x, 0x28 0x%08x", lcr32[0],
           lcr32[0x28 / 4]);
    lcr32[0x00 / 4] = 0;
    lcr32[0x28 / 4] = 0;
    /* The status bits are read only. */
    lcr32[INTCSR / 4] = 0x24;
    x = intcsr();
    result(x == INTCSR_LINT1_STAT, "plx9030 INTCSR status bits read only", "wrote 0x24, reads 0x%08x", x);
    lcr32[INTCSR / 4] = 0;

    result(detect(rd, wr, 0x000, why, sizeof(why)), "plx9030 controller 0 at 0x000 detected", "%s", why);
    result(detect(rd, wr, 0x100, why, sizeof(why)), "plx9030 controller 1 at 0x100 detected", "%s", why);
    for (bad = 0, i = 0; i < REG_COUNT; i++)
        if (rd(0x080, i) != 0xFF || rd(0x200, i) != 0xFF || rd(0x180, i) != 0xFF) bad++;
    wr(0x200, REG_MOD, MOD_RM);
    result(!bad && loc[0x200] == 0xFF && loc[0xFFF] == 0xFF, "plx9030 open bus at 0x080, 0x180, 0x200..0xFFF",
           "%u of %u registers not 0xFF", bad, REG_COUNT);

    /* BasicCAN reset request from operating mode: the same values. */
    pulse_reset();
    wr(0x000, 0, 0x00);
    wr(0x000, 0, 0x01);
    v = rd(0x000, 0);
    result((v & 0xE1) == 0x21 && rd(0x000, 2) == 0x0C && rd(0x000, 3) == 0xE0,
           "BasicCAN reset request: CR, SR, IR", "CR 0x%02x SR 0x%02x IR 0x%02x", v, rd(0x000, 2),
           rd(0x000, 3));

    /* Chip registers: reset values, kept in reset mode, refused in
     * operating mode, kept across a reset-mode entry. */
    wr(0x000, REG_CDR, CDR_PELICAN);
    result(rd(0x000, 13) == 96 && rd(0x000, 14) == 0 && rd(0x000, 15) == 0 && rd(0x000, REG_ALC) == 0 &&
               rd(0x000, REG_ECC) == 0,
           "EWL, RXERR, TXERR, ALC, ECC hardware reset values", "EWL %u RXERR %u TXERR %u ALC %u ECC %u",
           rd(0x000, 13), rd(0x000, 14), rd(0x000, 15), rd(0x000, REG_ALC), rd(0x000, REG_ECC));
    for (i = 0; i < sizeof(chip) / sizeof(chip[0]); i++) wr(0x000, chip[i].reg, chip[i].val);
    for (bad = 0, i = 0; i < sizeof(chip) / sizeof(chip[0]); i++)
        bad += rd(0x000, chip[i].reg) != chip[i].val;
    result(!bad, "BTR0 BTR1 OCR EWL RXERR TXERR kept in reset mode", "%u of 6 differ", bad);
    wr(0x000, REG_MOD, 0x00);
    for (i = 0; i < sizeof(chip) / sizeof(chip[0]); i++) wr(0x000, chip[i].reg, chip[i].op);
    for (bad = 0, i = 0; i < sizeof(chip) / sizeof(chip[0]); i++)
        bad += rd(0x000, chip[i].reg) != chip[i].val;
    result(!(rd(0x000, REG_MOD) & MOD_RM) && !bad,
           "BTR0 BTR1 OCR EWL RXERR TXERR refuse writes in operating mode", "%u of 6 changed", bad);
    wr(0x000, REG_MOD, MOD_RM);
    for (bad = 0, i = 0; i < sizeof(chip) / sizeof(chip[0]); i++)
        bad += rd(0x000, chip[i].reg) != chip[i].val;
    result(!bad && rd(0x000, REG_MOD) == 0x01 && rd(0x000, REG_SR) == 0x3C && rd(0x000, REG_IR) == 0x00,
           "PeliCAN reset request: MOD, SR, IR; chip registers kept", "%u differ, MOD 0x%02x SR 0x%02x", bad,
           rd(0x000, REG_MOD), rd(0x000, REG_SR));

    /* A frame from channel 0 reaches channel 1's FIFO. */
    pulse_reset();
    if (!configure(rd, wr, 0x000, 0) || !configure(rd, wr, 0x100, IRQ_RI)) {
        result(0, "plx9030 channels configured", "a controller stays in reset mode");
        return;
    }
    lcr32[INTCSR / 4] = INTCSR_PCI_EN | INTCSR_LINT1_POL | INTCSR_LINT1_EN;
    x = intcsr();
    result(x == 0x43, "LINT1 idle at polarity high", "INTCSR 0x%08x", x);
    if (send_std(rd, wr, 0x000, 0x123) < 0) {
        result(0, "frame channel 0 -> channel 1", "transmit never completes");
        return;
    }
    v = (rd(0x100, REG_FRAME + 1) << 3) | (rd(0x100, REG_FRAME + 2) >> 5);
    result((rd(0x100, REG_SR) & SR_RBS) && rd(0x100, 29) == 1 && rd(0x100, REG_FRAME) == 2 && v == 0x123 &&
               rd(0x100, REG_FRAME + 3) == 0x5A && rd(0x100, REG_FRAME + 4) == 0xA5,
           "frame channel 0 -> channel 1 (FIFO, RMC)", "SR 0x%02x RMC %u FI 0x%02x id 0x%x",
           rd(0x100, REG_SR), rd(0x100, 29), rd(0x100, REG_FRAME), v);
    x = intcsr();
    result(x & INTCSR_LINT1_STAT, "LINT1 status set while channel 1's RI waits", "INTCSR 0x%08x", x);
    lcr32[INTCSR / 4] = INTCSR_PCI_EN | INTCSR_LINT1_EN;
    x = intcsr();
    result(!(x & INTCSR_LINT1_STAT), "LINT1 status through polarity low", "INTCSR 0x%08x", x);
    lcr32[INTCSR / 4] = INTCSR_PCI_EN | INTCSR_LINT1_POL | INTCSR_LINT1_EN;

    /* Wired OR: a frame waits on channel 0 too; releasing channel 1's
     * leaves LINT1 active, releasing both makes it idle. */
    wr(0x000, REG_IER, IRQ_RI);
    send_std(rd, wr, 0x100, 0x321);
    drain(rd, wr, 0x100);
    rd(0x100, REG_IR);
    x = intcsr();
    result((rd(0x000, REG_SR) & SR_RBS) && (x & INTCSR_LINT1_STAT),
           "LINT1 wired OR: channel 0 still requests", "channel 0 SR 0x%02x, INTCSR 0x%08x",
           rd(0x000, REG_SR), x);
    drain(rd, wr, 0x000);
    rd(0x000, REG_IR);
    x = intcsr();
    result(!(x & INTCSR_LINT1_STAT), "LINT1 idle once both FIFOs are empty", "INTCSR 0x%08x", x);

    /* Controller 1 runs from controller 0's CLKOUT. */
    wr(0x100, REG_MOD, MOD_RM);
    wr(0x100, REG_BTR0, 0x07);
    wr(0x100, REG_MOD, MOD_AFM);
    wr(0x000, REG_CDR, CDR_PELICAN | CDR_CLKOFF);
    for (bad = 0, i = 0; i < REG_COUNT; i++) bad += rd(0x100, i) != 0xFF;
    wr(0x100, REG_MOD, MOD_RM);
    send_std(rd, wr, 0x000, 0x77);
    result(!bad, "controller 1 reads 0xFF while CLKOUT is off", "%u of %u registers answer", bad, REG_COUNT);
    wr(0x000, REG_CDR, CDR_PELICAN);
    v = rd(0x100, REG_MOD);
    result(v == MOD_AFM && rd(0x100, REG_BTR0) == 0x07 && !(rd(0x100, REG_SR) & SR_RBS) && rd(0x100, 29) == 0,
           "controller 1 answers again with CLKOUT on, ignored writes and frames while unclocked",
           "MOD 0x%02x BTR0 0x%02x SR 0x%02x RMC %u", v, rd(0x100, REG_BTR0), rd(0x100, REG_SR),
           rd(0x100, 29));

    /* CNTRL bit 30 holds both controllers in reset. */
    wr(0x000, REG_MOD, MOD_RM);
    wr(0x000, 13, 0x50);
    wr(0x000, 14, 0x05);
    wr(0x000, REG_MOD, MOD_AFM);
    send_std(rd, wr, 0x000, 0x55);
    lcr32[CNTRL / 4] = CNTRL_RESET | 0x123;
    for (bad = 0, i = 0; i < REG_COUNT; i++) bad += (rd(0x000, i) != 0xFF) + (rd(0x100, i) != 0xFF);
    wr(0x000, REG_CDR, CDR_PELICAN);
    x = lcr32[CNTRL / 4];
    lcr32[CNTRL / 4] = 0x123;
    result(!bad && x == (CNTRL_RESET | 0x123), "controllers silent while CNTRL bit 30 is set",
           "%u registers answer, CNTRL 0x%08x", bad, x);
    x = intcsr();
    result(detect(rd, wr, 0x000, why, sizeof(why)) && rd(0x000, 13) == 96 && rd(0x000, 14) == 0,
           "controller 0 at hardware reset values after CNTRL bit 30", "%s, EWL %u RXERR %u", why,
           rd(0x000, 13), rd(0x000, 14));
    result(detect(rd, wr, 0x100, why, sizeof(why)) && rd(0x100, 29) == 0 && !(x & INTCSR_LINT1_STAT),
           "controller 1 at hardware reset values, FIFO empty, LINT1 idle", "%s, RMC %u, INTCSR 0x%08x", why,
           rd(0x100, 29), x);
    lcr32[CNTRL / 4] = 0;
    lcr32[INTCSR / 4] = 0;
}

static void check_kvaser(const struct pci_dev *p) {
    char why[200];
    unsigned int x;

    if (!(p->flags[0] & IORESOURCE_IO) || !(p->flags[1] & IORESOURCE_IO) || p->len[1] < 0x80 ||
        ioperm(p->start[0], p->len[0], 1) < 0 || ioperm(p->start[1], p->len[1], 1) < 0) {
        result(0, "kvaser I/O BARs", "BAR0 %#lx flags %#lx, BAR1 %#lx", p->len[0], p->flags[0], p->len[1]);
        return;
    }
    kv_s5920 = p->start[0];
    kv_sja = p->start[1];
    result(detect(kv_rd, kv_wr, 0, why, sizeof(why)), "kvaser controller in BAR1 detected", "%s", why);
    outl(S5920_ADDON_INT_EN, (unsigned short)(kv_s5920 + S5920_INTCSR));
    x = inl((unsigned short)(kv_s5920 + S5920_INTCSR));
    result((x & S5920_ADDON_INT_EN) && !(x & S5920_INT_ASSERTED), "kvaser S5920 INTCSR at BAR0+0x38",
           "reads 0x%08x", x);
    if (!configure(kv_rd, kv_wr, 0, IRQ_RI) || !configure(rd, wr, 0x000, 0)) {
        result(0, "kvaser configured", "a controller stays in reset mode");
        return;
    }
    send_std(rd, wr, 0x000, 0x42);
    x = inl((unsigned short)(kv_s5920 + S5920_INTCSR));
    result((kv_rd(0, REG_SR) & SR_RBS) && (x & S5920_INT_ASSERTED),
           "kvaser receives, S5920 shows the interrupt", "SR 0x%02x INTCSR 0x%08x", kv_rd(0, REG_SR), x);
    drain(kv_rd, kv_wr, 0);
    outl(0, (unsigned short)(kv_s5920 + S5920_INTCSR));
}

int main(void) {
    struct pci_dev plx, kv;

    memset(&plx, 0, sizeof(plx));
    memset(&kv, 0, sizeof(kv));
    if (find_dev(0x10b5, 0x9030, &plx) < 0) {
        result(0, "plx9030 board found", "no 10b5:9030 device");
    } else if (!(lcr8 = map_bar(&plx, 0)) || !(loc = map_bar(&plx, 2))) {
        result(0, "plx9030 BARs mapped", "mmap of resource0/resource2 failed");
    } else {
        lcr32 = (volatile uint32_t *)lcr8;
        check_plx(&plx);
    }
    if (find_dev(0x10e8, 0x8406, &kv) < 0) result(0, "kvaser board found", "no 10e8:8406 device");
    else if (lcr32) check_kvaser(&kv);
    else result(0, "kvaser board", "needs the plx9030 board on its bus to send");
    printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
