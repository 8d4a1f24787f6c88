/* SPDX-License-Identifier: MIT */
/*
 * sja1000.h - the SJA1000 CAN controller in PeliCAN mode: its 32 registers,
 * the bits and fields in them, and the values the 5C3A card programs into
 * the ones it fixes. One block per register, its bits named under it.
 *
 * Register numbers are offsets inside a controller's window; the card's
 * address map (which window belongs to which port) is the driver's business
 * (pci_5C3A_ioctl.h). Used by the library, the virtual card's controller
 * model, the tests and the kernel driver. Valid C99, C++ and kernel C; no
 * other header needed.
 */
#ifndef SJA1000_H
#define SJA1000_H

/* Register numbers are spelt REG_MOD, REG_CMR, ... in user space; the kernel
 * driver sees them as Linux's own SJA1000 drivers name them, SJA1000_MOD,
 * SJA1000_CMR, ..., so that kernel code reads like theirs and no short name
 * leaks into the kernel's namespace. Bits keep their names in both. */
#ifdef __KERNEL__
#define SJA1000_REG(name) SJA1000_##name
#else
#define SJA1000_REG(name) REG_##name
#endif

/* Registers the chip decodes in PeliCAN mode; the rest of its 128-byte
 * window is FIFO RAM and transmit buffer, which the card does not use. */
enum { SJA1000_REG(COUNT) = 32 };

/* ---- 0: mode ---------------------------------------------------------- */
enum { SJA1000_REG(MOD) = 0 };
enum {
    MOD_RM = 0x01,  /* reset mode: configuration registers writable */
    MOD_LOM = 0x02, /* listen only: no acknowledge, no error flags */
    MOD_STM = 0x04, /* self test: a transmission needs no acknowledge */
    MOD_AFM = 0x08, /* single acceptance filter (clear: dual) */
    MOD_SM = 0x10   /* sleep */
};

/* ---- 1: command (write only) ------------------------------------------ */
enum { SJA1000_REG(CMR) = 1 };
enum {
    CMD_TR = 0x01,  /* transmission request */
    CMD_AT = 0x02,  /* abort transmission */
    CMD_RRB = 0x04, /* release receive buffer */
    CMD_CDO = 0x08, /* clear data overrun */
    CMD_SRR = 0x10  /* self reception request */
};

/* ---- 2: status (read only) -------------------------------------------- */
enum { SJA1000_REG(SR) = 2 };
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

/* ---- 3: interrupt (read clears), 4: interrupt enable ------------------- */
enum { SJA1000_REG(IR) = 3, SJA1000_REG(IER) = 4 };
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

/* ---- 6: bus timing 0, 7: bus timing 1 (reset mode) --------------------- */
/* Bit time = 2 x (BRP + 1) x (3 + TSEG1 + TSEG2) oscillator periods; the
 * synchronisation jump width is SJW + 1 time quanta. */
enum { SJA1000_REG(BTR0) = 6, SJA1000_REG(BTR1) = 7 };
enum {
    BTR0_BRP_MASK = 0x3F, /* baud-rate prescaler, bits 5-0 */
    BTR0_SJW_SHIFT = 6,   /* synchronisation jump width, bits 7-6 */
    BTR0_SJW_MASK = 0xC0
};
enum {
    BTR1_TSEG1_MASK = 0x0F, /* time segment 1, bits 3-0 */
    BTR1_TSEG2_SHIFT = 4,   /* time segment 2, bits 6-4 */
    BTR1_TSEG2_MASK = 0x70,
    BTR1_SAM = 0x80 /* three samples per bit */
};

/* ---- 8: output control (reset mode) ------------------------------------ */
enum { SJA1000_REG(OCR) = 8 };
enum {
    OCR_MODE_MASK = 0x03, /* OCMODE1-0 */
    OCR_MODE_BIPHASE = 0x00,
    OCR_MODE_TEST = 0x01,
    OCR_MODE_NORMAL = 0x02, /* the bit stream goes out on TX0 and TX1 */
    OCR_MODE_CLOCK = 0x03,
    OCR_TX0_INVERT = 0x04,   /* OCPOL0 */
    OCR_TX0_PULLDOWN = 0x08, /* OCTN0 */
    OCR_TX0_PULLUP = 0x10,   /* OCTP0 */
    OCR_TX0_PUSHPULL = OCR_TX0_PULLDOWN | OCR_TX0_PULLUP,
    OCR_TX1_INVERT = 0x20,   /* OCPOL1 */
    OCR_TX1_PULLDOWN = 0x40, /* OCTN1 */
    OCR_TX1_PULLUP = 0x80,   /* OCTP1 */
    OCR_TX1_PUSHPULL = OCR_TX1_PULLDOWN | OCR_TX1_PULLUP
};
/* The card's output stage: normal output mode, both pins push-pull, and
 * TX1 inverted, so that TX1 always drives the complement of TX0 (0xFA). */
enum { OCR_CARD = OCR_MODE_NORMAL | OCR_TX0_PUSHPULL | OCR_TX1_PUSHPULL | OCR_TX1_INVERT };

/* ---- 11: arbitration lost capture (read re-arms) ------------------------ */
enum { SJA1000_REG(ALC) = 11 };
enum { ALC_BIT_MASK = 0x1F }; /* bit position where arbitration was lost */

/* ---- 12: error code capture (read re-arms) ----------------------------- */
enum { SJA1000_REG(ECC) = 12 };
enum {
    ECC_TYPE_MASK = 0xC0, /* error type, bits 7-6 */
    ECC_BIT = 0x00,
    ECC_FORM = 0x40,
    ECC_STUFF = 0x80,
    ECC_OTHER = 0xC0,
    ECC_DIR_RX = 0x20,      /* the error occurred while receiving */
    ECC_SEG_MASK = 0x1F,    /* frame segment, bits 4-0 */
    ECC_SEG_ID28_21 = 0x02, /* identifier ID.28-21 (ID.10-3 of a standard frame) */
    ECC_SEG_ACK_SLOT = 0x19
};

/* ---- 13: error warning limit, 14/15: receive/transmit error counters ---- */
/* Writable in reset mode only. */
enum { SJA1000_REG(EWLR) = 13, SJA1000_REG(RXERR) = 14, SJA1000_REG(TXERR) = 15 };
enum { EWLR_POWER_UP = 96 };

/* ---- 16..28: acceptance filter (reset mode) or frame (operating mode) -- */
/* In reset mode 16..19 are the acceptance code, 20..23 the mask (a 1 bit is
 * "don't care"). In operating mode 16..28 are the transmit buffer (write)
 * and the receive window (read): frame information, then 2 identifier bytes
 * for a standard frame or 4 for an extended one, then the data bytes. */
enum {
    SJA1000_REG(ACR0) = 16,
    SJA1000_REG(ACR1) = 17,
    SJA1000_REG(ACR2) = 18,
    SJA1000_REG(ACR3) = 19,
    SJA1000_REG(AMR0) = 20,
    SJA1000_REG(AMR1) = 21,
    SJA1000_REG(AMR2) = 22,
    SJA1000_REG(AMR3) = 23
};
enum { SJA1000_REG(FRAME) = 16, SJA1000_REG(FRAME_END) = 28 };
/* Frame information byte */
enum {
    FI_FF = 0x80,  /* extended frame format */
    FI_RTR = 0x40, /* remote frame */
    FI_DLC = 0x0F  /* data length code */
};
/* Identifiers: right-aligned values, and their left-aligned place in the
 * identifier bytes (ID.10-0 in 16 bits, ID.28-0 in 32 bits). */
enum { STD_ID_SHIFT = 5, EXT_ID_SHIFT = 3 };
#define SJA1000_STD_ID_MASK 0x7FFu
#define SJA1000_EXT_ID_MASK 0x1FFFFFFFu
/* Remote-request bit of the single acceptance filter: bit 4 of code/mask 1
 * for standard frames, bit 2 of code/mask 3 for extended frames. */
enum { AF_SFF_RTR = 0x10, AF_EFF_RTR = 0x04 };

/* ---- 29: receive message counter, 30: receive buffer start address ----- */
enum { SJA1000_REG(RMC) = 29, SJA1000_REG(RBSA) = 30 };
enum { RBSA_MASK = 0x3F }; /* an address in the 64-byte receive FIFO */

/* ---- 31: clock divider ------------------------------------------------- */
/* CD.2-0 may be changed at any time, the other bits only in reset mode. */
enum { SJA1000_REG(CDR) = 31 };
enum {
    CDR_CLKOUT_MASK = 0x07, /* CD.2-0: CLKOUT = f_osc / 2 (0) .. / 14, 7: f_osc */
    CDR_CLK_OFF = 0x08,     /* CLKOUT pin off */
    CDR_RESERVED = 0x10,    /* reads 0 */
    CDR_RXINTEN = 0x20,     /* TX1 as receive interrupt output */
    CDR_CBP = 0x40,         /* input comparator bypassed (RX0 only) */
    CDR_PELICAN = 0x80      /* PeliCAN mode (clear: BasicCAN) */
};
/* The card's choice: PeliCAN mode, the input comparator bypassed (the
 * transceiver drives RX0 with a logic level), CLKOUT off; CD.2-0 stay 0,
 * which selects nothing while CLKOUT is off (0xC8). */
enum { CDR_CARD = CDR_PELICAN | CDR_CBP | CDR_CLK_OFF };

/* ---- telling a controller from an empty address ----------------------- */
/* What a chip in reset mode reads back, after a hardware reset (BasicCAN
 * mode, CDR bit 7 clear) and once CDR has selected PeliCAN mode. Bits that
 * follow the bus (status RS and TS) are not compared: a chip reset by a
 * reset request rather than by its reset pin may have been receiving. A
 * location nothing answers on reads 0xFF. */
enum {
    BASICCAN_CR_RESET_MASK = 0xE1, /* control: reset request, bit 5 reads 1 */
    BASICCAN_CR_RESET = 0x21,
    BASICCAN_SR_RESET = 0x0C, /* status: transmit buffer free, complete */
    BASICCAN_IR_RESET = 0xE0, /* interrupt: bits 7-5 read 1 */
    PELICAN_MOD_RESET = MOD_RM,
    PELICAN_SR_RESET = 0x3C,
    PELICAN_IR_RESET = 0x00,
    SR_RESET_COMPARED = SR_RBS | SR_DOS | SR_TBS | SR_TCS | SR_ES | SR_BS,
    ABSENT_READ = 0xFF
};

#endif /* SJA1000_H */
