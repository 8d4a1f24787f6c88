/* SPDX-License-Identifier: GPL-2.0-only OR MIT */
/*
 * pci5c3a.h - what the parts of the 5C3A card's driver share: boards and
 * their bridges (board.c), the SJA1000 controllers (chip.c), the character
 * device with its queues (chardev.c), the receive notification (notify.c)
 * and a port's other personality, the network device (netdev.c).
 *
 * Request codes, records and register names are the library's own
 * (pci_5C3A_ioctl.h, sja1000.h): the driver speaks from the same
 * definitions as its user space.
 */
#ifndef PCI5C3A_H
#define PCI5C3A_H

#include <linux/kref.h>
#include <linux/list.h>
#include <linux/mutex.h>
#include <linux/netdevice.h>
#include <linux/pci.h>
#include <linux/spinlock.h>
#include <linux/types.h>
#include <linux/workqueue.h>

#include "pci_5C3A_ioctl.h"
#include "sja1000.h"

#define DRV_NAME "pci5c3a"

/* Frames a port's driver queue holds; a frame arriving at a full queue is
 * dropped and counted. */
#define PCI5C3A_QUEUE_LEN 1024
/* The card's address space: one 128-byte window per port. */
#define PCI5C3A_ADDR_SPACE (PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW)

struct pci5c3a_card;

/* ---------------------------------------------------------------------- */
/* Boards */

/**
 * struct pci5c3a_window - where a block of byte registers sits on a board
 * @bar: PCI base address register holding it (I/O or memory)
 * @shift: register n is at @offset + (n << @shift): 0 for byte stride,
 *	2 for registers 32 bits apart
 * @offset: byte offset of register 0 within the BAR
 */
struct pci5c3a_window {
	u8 bar;
	u8 shift;
	u16 offset;
};

/**
 * struct pci5c3a_bridge - the PCI bridge chip in front of the controllers
 * @name: the chip, for messages
 * @conf_len: bytes of its configuration registers the driver uses
 * @reset: puts the board's local bus and so the controllers through a
 *	hardware reset; may sleep (probe only)
 * @enable_irq: lets the controllers' interrupt through to the PCI line
 * @ack_irq: after an interrupt was serviced, or NULL
 * @disable_irq: keeps the line quiet (remove, shutdown, a failed probe)
 *
 * Most SJA1000 boards do not wire the controllers' INT# to the PCI
 * interrupt pin: the bridge does, and only once its interrupt control
 * register lets it.
 */
struct pci5c3a_bridge {
	const char *name;
	unsigned int conf_len;
	void (*reset)(struct pci5c3a_card *card);
	void (*enable_irq)(struct pci5c3a_card *card);
	void (*ack_irq)(struct pci5c3a_card *card);
	void (*disable_irq)(struct pci5c3a_card *card);
};

/**
 * struct pci5c3a_board - one kind of board: where its parts sit, what it
 *	wires
 * @name: layout name, as ids= spells it
 * @bridge: its bridge, or NULL for controllers decoded directly in BARs
 * @conf_bar: the BAR of the bridge's configuration registers
 * @chan: each port's controller registers
 * @channels: controllers the layout has room for
 * @counted: channels after the first count only when a controller answers
 *	there (one- and two-channel boards share the layout)
 * @crystal_hz: the controllers' oscillator
 * @ocr: output control: how the board wires the transceivers
 * @cdr_clock: clock divider bits CD.2-0 and CLKOUT off: the board's, since a
 *	second controller may run from the first one's CLKOUT
 */
struct pci5c3a_board {
	const char *name;
	const struct pci5c3a_bridge *bridge;
	u8 conf_bar;
	struct pci5c3a_window chan[PCI5C3A_PORTS_PER_CARD];
	u8 channels;
	bool counted;
	u32 crystal_hz;
	u8 ocr;
	u8 cdr_clock;
};

/* ---------------------------------------------------------------------- */
/* Driver state */

/**
 * struct pci5c3a_frame - a received frame in a driver queue
 * @id: identifier, right-aligned
 * @len: data length, 0..8
 * @rtr: remote frame
 * @ext: 29-bit identifier
 * @data: data bytes (zero for a remote frame)
 */
struct pci5c3a_frame {
	u32 id;
	u8 len;
	bool rtr;
	bool ext;
	u8 data[8];
};

enum pci5c3a_counter {
	PCI5C3A_RX_FRAMES,
	PCI5C3A_TX_FRAMES,
	PCI5C3A_RX_DROPPED,
	PCI5C3A_RX_OVERRUNS,
	PCI5C3A_INTERRUPTS,
	PCI5C3A_COUNTERS
};

/**
 * struct pci5c3a_port - one controller and its receive queue
 * @regs: register 0 of the controller
 * @shift: register stride, as in &struct pci5c3a_window
 * @absent: the controller stopped answering (every register reads 0xff):
 *	a board gone with its slot; said once
 * @extended: frames sent use 29-bit identifiers (REQ_SET_MODE)
 * @ndev: the port's network device, or NULL while the port is the
 *	character device's
 * @users: open files that made a request on the port and have not closed
 *	it (REQ_PORT_CLOSE); the port keeps its personality while any do
 * @rx_lock: serialises REQ_RECEIVE on the port across its copy to user
 *	space, so two readers never take one frame twice
 * @head: oldest frame in @queue
 * @count: frames in @queue
 * @generation: changes whenever @queue is emptied
 * @queued: frames queued since probe; the listeners' signal clock
 * @listeners: files with the port's notification on or signals still due,
 *	by &pci5c3a_file.listen
 * @check_at: next look for frames that wait without an interrupt
 * @stuck_since: when frames were first seen waiting so, or 0
 * @stuck_irqs: the card's serviced interrupts at @stuck_since
 * @stats: counters shown in sysfs
 * @queue: the received frames, a ring
 *
 * @extended, @users and the stuck fields are under the card's mutex,
 * @rx_lock is its own; @ndev changes under both the mutex and the
 * spinlock; everything else the interrupt handler touches is under the
 * card's spinlock.
 */
struct pci5c3a_port {
	void __iomem *regs;
	u8 shift;
	bool absent;
	bool extended;
	struct net_device *ndev;
	unsigned int users;
	struct mutex rx_lock;
	unsigned int head;
	unsigned int count;
	unsigned int generation;
	u64 queued;
	struct list_head listeners;
	unsigned long check_at;
	unsigned long stuck_since;
	u64 stuck_irqs;
	u64 stats[PCI5C3A_COUNTERS];
	struct pci5c3a_frame queue[PCI5C3A_QUEUE_LEN];
};

/**
 * struct pci5c3a_card - one bound card
 * @ref: held by the bound PCI device and by every open file
 * @lock: serialises requests that touch the hardware; guards @gone and
 *	@users
 * @gone: the card was removed; every further request fails with ENODEV
 * @users: number of open files
 * @irq_warned: the missing interrupt was reported
 * @hw_lock: registers, queues, listener lists and counters, shared with
 *	the interrupt handler
 * @pdev: the PCI device
 * @board: its layout
 * @ports: controllers found, 1 or 2; requests for a port beyond fail
 * @index: card number 0..3
 * @irqs: interrupts the handler serviced
 * @bars: mapped BARs
 * @conf: the bridge's configuration registers, or NULL
 * @led: the LED byte, kept by the driver (the boards have no LED latch)
 * @dev: the character device's device
 * @signal_work: raises the receive notifications outside interrupt context
 * @port: the controllers
 */
struct pci5c3a_card {
	struct kref ref;
	struct mutex lock;
	bool gone;
	unsigned int users;
	bool irq_warned;
	spinlock_t hw_lock;
	struct pci_dev *pdev;
	const struct pci5c3a_board *board;
	int ports;
	int index;
	u64 irqs;
	void __iomem *bars[PCI_STD_NUM_BARS];
	void __iomem *conf;
	u8 led;
	struct device *dev;
	struct work_struct signal_work;
	struct pci5c3a_port port[PCI5C3A_PORTS_PER_CARD];
};

/**
 * struct pci5c3a_file - one open file of a card
 * @card: the card, a reference held
 * @filp: the file, whose owner (F_SETOWN) receives the signals
 * @used: per port, the file made a request on it since it last closed it
 *	(counted in &pci5c3a_port.users); under the card's mutex
 * @notify: receive notification per port (REQ_EVENT_PORT0/1)
 * @seen: per port, the port's &pci5c3a_port.queued up to which this file's
 *	signals are counted
 * @due: per port, signals owed for frames queued while @notify was on
 *	before it was turned off
 * @listen: per port, in the port's &pci5c3a_port.listeners while @notify
 *	is on or signals are due
 *
 * All but @card, @filp and @used are under the card's @hw_lock.
 */
struct pci5c3a_file {
	struct pci5c3a_card *card;
	struct file *filp;
	bool used[PCI5C3A_PORTS_PER_CARD];
	bool notify[PCI5C3A_PORTS_PER_CARD];
	u64 seen[PCI5C3A_PORTS_PER_CARD];
	unsigned int due[PCI5C3A_PORTS_PER_CARD];
	struct list_head listen[PCI5C3A_PORTS_PER_CARD];
};

/* chip.c */
u8 pci5c3a_read(const struct pci5c3a_port *port, unsigned int reg);
void pci5c3a_write(const struct pci5c3a_port *port, unsigned int reg, u8 val);
int pci5c3a_set_reset_mode(const struct pci5c3a_port *port);
bool pci5c3a_detect(const struct pci5c3a_port *port, u8 seen[6]);
void pci5c3a_chip_init(const struct pci5c3a_port *port,
		       const struct pci5c3a_board *board);
void pci5c3a_quiet(const struct pci5c3a_port *port);
u8 pci5c3a_board_cdr(const struct pci5c3a_board *board, u8 val);
void pci5c3a_load_tx(const struct pci5c3a_port *port, u32 id, bool ext,
		     bool rtr, u8 len, const u8 *data);
void pci5c3a_read_rx(const struct pci5c3a_port *port, struct pci5c3a_frame *f);
bool pci5c3a_drain(struct pci5c3a_card *card, int p);
bool pci5c3a_irq_enabled(const struct pci5c3a_port *port);
int pci5c3a_service(struct pci5c3a_card *card, int p, bool *signal);

/* board.c */
int pci5c3a_parse_list(const char *name, const char *value,
		       int (*parse)(char *entry, int n, void *arg), void *arg);
void pci5c3a_card_put(struct pci5c3a_card *card);
struct pci5c3a_card *pci5c3a_card_get(unsigned int index);

/* chardev.c */
int pci5c3a_chardev_init(void);
void pci5c3a_chardev_exit(void);
int pci5c3a_chardev_add(struct pci5c3a_card *card);
void pci5c3a_chardev_remove(struct pci5c3a_card *card);
void pci5c3a_poll(struct pci5c3a_card *card);

/* netdev.c */
int pci5c3a_net_parse(void);
void pci5c3a_net_probe(struct pci5c3a_card *card);
void pci5c3a_net_remove(struct pci5c3a_card *card);
int pci5c3a_set_personality(struct pci5c3a_card *card, int p, bool netdev);
void pci5c3a_net_interrupt(struct pci5c3a_port *port, u8 ir);

/* notify.c */
void pci5c3a_signal_work(struct work_struct *work);
void pci5c3a_set_notify(struct pci5c3a_file *f, int port, bool on);

#endif /* PCI5C3A_H */
