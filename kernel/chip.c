// SPDX-License-Identifier: GPL-2.0-only OR MIT
/*
 * chip.c - the SJA1000 controllers: register access, reset mode, telling a
 * controller from an empty address, frames in the transmit buffer and the
 * receive window, and one channel's interrupt service.
 */

#include <linux/delay.h>
#include <linux/io.h>
#include <linux/string.h>

#include "pci5c3a.h"

/* The receive FIFO (64 bytes, 3 at least per frame) holds at most 21
 * frames; one drain never needs more releases than this. */
#define PCI5C3A_MAX_RELEASES 64
/* Tries, 10 us apart, for a controller to enter reset mode: it does so only
 * once a frame on the bus has ended. */
#define PCI5C3A_RESET_TRIES 100

/* Every controller access goes through these two. */
u8 pci5c3a_read(const struct pci5c3a_port *port, unsigned int reg)
{
	return ioread8(port->regs + (reg << port->shift));
}

void pci5c3a_write(const struct pci5c3a_port *port, unsigned int reg, u8 val)
{
	iowrite8(val, port->regs + (reg << port->shift));
}

/**
 * pci5c3a_set_reset_mode() - stop a controller: interrupts off, reset mode
 * @port: the controller
 *
 * Reset mode is where the configuration registers are writable and the chip
 * stays off the bus. The mode change waits for the end of a frame in
 * progress, so the request is repeated until it reads back.
 *
 * Return: 0, or -ETIMEDOUT when the controller never showed reset mode.
 */
int pci5c3a_set_reset_mode(const struct pci5c3a_port *port)
{
	int i;

	pci5c3a_write(port, SJA1000_IER, 0);
	for (i = 0; i < PCI5C3A_RESET_TRIES; i++) {
		if (pci5c3a_read(port, SJA1000_MOD) & MOD_RM)
			return 0;
		pci5c3a_write(port, SJA1000_MOD, MOD_RM);
		udelay(10);
	}
	return -ETIMEDOUT;
}

/**
 * pci5c3a_detect() - is there an SJA1000 at this address
 * @port: the candidate controller
 * @seen: what it read back: BasicCAN control, status and interrupt, then
 *	PeliCAN mode, status and interrupt (for the message when it is not)
 *
 * One bit proves nothing (an empty address may read anything, a controller
 * left in operating mode by firmware or another driver reads its reset bit
 * clear, and one left in BasicCAN mode has other registers): the chip is
 * put in reset mode, then in BasicCAN mode, where its control, status and
 * interrupt registers show their reset values, then in PeliCAN mode, where
 * mode, status and interrupt show theirs. Leaves the chip in PeliCAN reset
 * mode with its interrupts off.
 *
 * Return: true when a controller answered as an SJA1000.
 */
bool pci5c3a_detect(const struct pci5c3a_port *port, u8 seen[6])
{
	int i;

	memset(seen, ABSENT_READ, 6);
	if (pci5c3a_set_reset_mode(port)) {
		seen[0] = pci5c3a_read(port, SJA1000_MOD);
		return false;
	}

	/* Register 0 is the control register in BasicCAN mode. */
	pci5c3a_write(port, SJA1000_CDR, 0);
	seen[0] = pci5c3a_read(port, SJA1000_MOD);
	seen[1] = pci5c3a_read(port, SJA1000_SR);
	seen[2] = pci5c3a_read(port, SJA1000_IR);
	pci5c3a_write(port, SJA1000_CDR, CDR_PELICAN);
	seen[3] = pci5c3a_read(port, SJA1000_MOD);
	seen[4] = pci5c3a_read(port, SJA1000_SR);
	seen[5] = pci5c3a_read(port, SJA1000_IR);
	pci5c3a_write(port, SJA1000_IER, 0);

	for (i = 0; i < 6; i++)
		if (seen[i] == ABSENT_READ)
			return false;
	return (seen[0] & BASICCAN_CR_RESET_MASK) == BASICCAN_CR_RESET &&
	       (seen[1] & SR_RESET_COMPARED) ==
			(BASICCAN_SR_RESET & SR_RESET_COMPARED) &&
	       seen[2] == BASICCAN_IR_RESET &&
	       (seen[3] & MOD_RM) &&
	       (seen[4] & SR_RESET_COMPARED) ==
			(PELICAN_SR_RESET & SR_RESET_COMPARED) &&
	       seen[5] == PELICAN_IR_RESET;
}

/**
 * pci5c3a_board_cdr() - a clock divider value as the board must have it
 * @board: the board
 * @val: what the application wrote
 *
 * The mode, comparator bypass and TX1-as-interrupt bits are the
 * application's; the clock output is the board's: on a board whose second
 * controller runs from the first one's CLKOUT, switching it off would stop
 * that controller.
 *
 * Return: the value to write.
 */
u8 pci5c3a_board_cdr(const struct pci5c3a_board *board, u8 val)
{
	return (val & (CDR_PELICAN | CDR_CBP | CDR_RXINTEN)) | board->cdr_clock;
}

/* A controller found at probe: PeliCAN reset mode, interrupts off, the
 * board's clock and output stage; the library configures the rest. */
void pci5c3a_chip_init(const struct pci5c3a_port *port,
		       const struct pci5c3a_board *board)
{
	pci5c3a_set_reset_mode(port);
	pci5c3a_write(port, SJA1000_CDR, pci5c3a_board_cdr(board, CDR_PELICAN));
	pci5c3a_write(port, SJA1000_OCR, board->ocr);
}

/* A quiet line: interrupts off and off the bus, until the next user. */
void pci5c3a_quiet(const struct pci5c3a_port *port)
{
	pci5c3a_set_reset_mode(port);
}

/* ---------------------------------------------------------------------- */
/* Frames in the transmit buffer and the receive window (registers 16..28
 * in operating mode): frame information, 2 identifier bytes for a standard
 * frame or 4 for an extended one, then the data bytes. */

void pci5c3a_load_tx(const struct pci5c3a_port *port, u32 id, bool ext,
		     bool rtr, u8 len, const u8 *data)
{
	unsigned int reg = SJA1000_FRAME;
	unsigned int i;

	pci5c3a_write(port, reg++, (ext ? FI_FF : 0) | (rtr ? FI_RTR : 0) |
		      (len & FI_DLC));
	if (ext) {
		id <<= EXT_ID_SHIFT;	/* ID.28-0 left-aligned in 32 bits */
		pci5c3a_write(port, reg++, id >> 24);
		pci5c3a_write(port, reg++, id >> 16);
		pci5c3a_write(port, reg++, id >> 8);
		pci5c3a_write(port, reg++, id);
	} else {
		id <<= STD_ID_SHIFT;	/* ID.10-0 left-aligned in 16 bits */
		pci5c3a_write(port, reg++, id >> 8);
		pci5c3a_write(port, reg++, id);
	}
	/* A remote frame carries a length code but no data. */
	if (!rtr)
		for (i = 0; i < len; i++)
			pci5c3a_write(port, reg++, data[i]);
}

void pci5c3a_read_rx(const struct pci5c3a_port *port, struct pci5c3a_frame *f)
{
	unsigned int reg = SJA1000_FRAME;
	unsigned int i;
	u8 info = pci5c3a_read(port, reg++);
	u32 id = 0;

	memset(f, 0, sizeof(*f));
	f->rtr = info & FI_RTR;
	/* Length codes 9..15 are valid on the bus and mean 8 data bytes. */
	f->len = min_t(u8, info & FI_DLC, 8);
	f->ext = info & FI_FF;
	if (f->ext) {
		for (i = 0; i < 4; i++)
			id = (id << 8) | pci5c3a_read(port, reg++);
		f->id = id >> EXT_ID_SHIFT;
	} else {
		for (i = 0; i < 2; i++)
			id = (id << 8) | pci5c3a_read(port, reg++);
		f->id = id >> STD_ID_SHIFT;
	}
	if (!f->rtr)
		for (i = 0; i < f->len; i++)
			f->data[i] = pci5c3a_read(port, reg++);
}

/**
 * pci5c3a_drain() - move a controller's received frames into its queue
 * @card: the card; its @hw_lock held
 * @p: the port's number
 *
 * Runs while receive interrupts are enabled (IER bit RI) and the chip is
 * in operating mode (in reset mode registers 16..28 are the acceptance
 * filter, not the receive window): each frame is read out of the receive
 * window and the receive buffer released. Called from the interrupt
 * handler and after every register write, so that frames that waited in
 * the FIFO while receive interrupts were off arrive as soon as they are
 * switched on (the chip raises no new interrupt for them).
 *
 * A frame queued moves the port's signal clock on; what that owes to each
 * listening file the signal work works out, so the cost of a frame here
 * does not depend on how many files the card has open.
 *
 * Return: true when a frame was queued for a port with listeners.
 */
bool pci5c3a_drain(struct pci5c3a_card *card, int p)
{
	struct pci5c3a_port *port = &card->port[p];
	struct pci5c3a_frame *f;
	unsigned int queued = 0;
	int n;

	if (!(pci5c3a_read(port, SJA1000_IER) & IRQ_RI) ||
	    (pci5c3a_read(port, SJA1000_MOD) & MOD_RM))
		return false;

	for (n = 0; n < PCI5C3A_MAX_RELEASES; n++) {
		if (!(pci5c3a_read(port, SJA1000_SR) & SR_RBS))
			break;
		if (port->count == PCI5C3A_QUEUE_LEN) {
			/* Queue full: the new frame is the one dropped. */
			pci5c3a_write(port, SJA1000_CMR, CMD_RRB);
			port->stats[PCI5C3A_RX_DROPPED]++;
			continue;
		}
		f = &port->queue[(port->head + port->count) % PCI5C3A_QUEUE_LEN];
		pci5c3a_read_rx(port, f);
		pci5c3a_write(port, SJA1000_CMR, CMD_RRB);
		port->count++;
		queued++;
	}
	port->stats[PCI5C3A_RX_FRAMES] += queued;
	port->queued += queued;
	return queued && !list_empty(&port->listeners);
}

/* A controller that is there and has an interrupt enabled: one with none
 * has nothing to say. Asked once per interrupt, not per pass: while the
 * handler runs, only it touches the controllers. */
bool pci5c3a_irq_enabled(const struct pci5c3a_port *port)
{
	return !port->absent && pci5c3a_read(port, SJA1000_IER);
}

/**
 * pci5c3a_service() - one channel's part of an interrupt
 * @card: the card; its @hw_lock held
 * @p: the port's number
 * @signal: set when a frame was queued for a listener
 *
 * Reading the interrupt register acknowledges the chip's latched
 * conditions; a data overrun is counted, and its status bit left for the
 * application (CanClearOverrun, which also re-enables the interrupt). A
 * controller whose interrupt and mode registers both read 0xff is no
 * longer there (a board removed with its slot reads all ones): it is not
 * serviced. A network-device port's interrupt is the network device's.
 * The handler calls this only for controllers with an interrupt enabled
 * (pci5c3a_irq_enabled()).
 *
 * Return: 1 when the channel had an interrupt pending, else 0.
 */
int pci5c3a_service(struct pci5c3a_card *card, int p, bool *signal)
{
	struct pci5c3a_port *port = &card->port[p];
	u8 ir;

	if (port->absent)
		return 0;
	ir = pci5c3a_read(port, SJA1000_IR);
	if (!ir)
		return 0;
	if (ir == ABSENT_READ && pci5c3a_read(port, SJA1000_MOD) == ABSENT_READ) {
		port->absent = true;
		dev_warn(&card->pdev->dev,
			 "port %d: the controller reads all ones: board gone?\n",
			 p);
		return 0;
	}
	port->stats[PCI5C3A_INTERRUPTS]++;
	if (port->ndev) {
		pci5c3a_net_interrupt(port, ir);
		return 1;
	}
	if (ir & IRQ_DOI)
		port->stats[PCI5C3A_RX_OVERRUNS]++;
	if (ir & IRQ_RI)
		*signal |= pci5c3a_drain(card, p);
	return 1;
}
