// SPDX-License-Identifier: GPL-2.0-only OR MIT
/*
 * pci5c3a.c - kernel driver of the 5C3A two-port CAN PCI card.
 *
 * The card carries two SJA1000 controllers in PeliCAN mode. User space
 * (libpci_5C3A) drives them through one character device per card,
 * /dev/PCI5C3AW0..3, with the ioctl requests of pci_5C3A_ioctl.h: raw
 * register access in the card's 256-byte address space, transmission of a
 * frame, and a per-port queue of received frames filled by the interrupt
 * handler, with real-time signals 63 (port 0) and 62 (port 1) to the
 * descriptor's owner as receive notification.
 *
 * The file follows a frame: board table, register access, frames in the
 * controller, receive queue, interrupt handler, signals, requests, open and
 * close, sysfs counters, probe and remove, module parameters.
 */

#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/bitops.h>
#include <linux/cdev.h>
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/interrupt.h>
#include <linux/io.h>
#include <linux/kref.h>
#include <linux/list.h>
#include <linux/mm.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/pci.h>
#include <linux/pid.h>
#include <linux/sched/signal.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/uaccess.h>
#include <linux/version.h>
#include <linux/workqueue.h>

#include "pci_5C3A_ioctl.h"
#include "sja1000.h"

#define DRV_NAME "pci5c3a"

/* Frames a port's driver queue holds; a frame arriving at a full queue is
 * dropped and counted. */
#define PCI5C3A_QUEUE_LEN 1024
/* The receive FIFO (64 bytes, 3 at least per frame) holds at most 21
 * frames; one drain never needs more releases than this. */
#define PCI5C3A_MAX_RELEASES 64
/* Passes of the interrupt handler over both channels before it gives up
 * on a line that does not go quiet. */
#define PCI5C3A_MAX_PASSES 16
/* The card's address space: one 128-byte window per port. */
#define PCI5C3A_ADDR_SPACE (PCI5C3A_PORTS_PER_CARD * PCI5C3A_PORT_WINDOW)

/* ---------------------------------------------------------------------- */
/* Boards */

/**
 * struct pci5c3a_window - where a block of byte registers sits on a board
 * @bar: PCI base address register holding it (I/O or memory)
 * @offset: byte offset of register 0 within the BAR
 * @shift: register n is at @offset + (n << @shift): 0 for byte stride,
 *	2 for registers 32 bits apart
 */
struct pci5c3a_window {
	u8 bar;
	u8 shift;
	u16 offset;
};

/**
 * struct pci5c3a_board - the register layout of one kind of board
 * @name: layout name, as the ids= module parameter spells it
 * @crystal_hz: the controllers' oscillator
 * @chan: each port's controller registers
 * @has_led: the board has an LED latch at @led; without one the driver
 *	keeps the LED byte itself and reads it back
 * @led: the LED latch, when @has_led
 */
struct pci5c3a_board {
	const char *name;
	u32 crystal_hz;
	struct pci5c3a_window chan[PCI5C3A_PORTS_PER_CARD];
	bool has_led;
	struct pci5c3a_window led;
};

enum pci5c3a_board_id {
	PCI5C3A_PCM3680_PCI,
	PCI5C3A_MIOE3680_PCI,
};

/*
 * QEMU's two-channel SJA1000 boards: one I/O BAR per channel. The real
 * card's PCI ids are not known; it binds through ids= or new_id with the
 * layout that matches it.
 */
static const struct pci5c3a_board pci5c3a_boards[] = {
	[PCI5C3A_PCM3680_PCI] = {
		.name = "pcm3680_pci",
		.crystal_hz = 16000000,
		.chan = {
			{ .bar = 0, .offset = 0, .shift = 0 },
			{ .bar = 1, .offset = 0, .shift = 0 },
		},
	},
	[PCI5C3A_MIOE3680_PCI] = {
		.name = "mioe3680_pci",
		.crystal_hz = 16000000,
		.chan = {
			{ .bar = 0, .offset = 0, .shift = 2 },
			{ .bar = 1, .offset = 0, .shift = 2 },
		},
	},
};

/*
 * driver_data is the board index; new_id accepts only values found here,
 * so every layout has an entry. No MODULE_DEVICE_TABLE: these ids are
 * those of other makers' boards, which this driver must not claim just
 * because it is installed.
 */
static const struct pci_device_id pci5c3a_ids[] = {
	{ PCI_DEVICE(0x13fe, 0xc002), .driver_data = PCI5C3A_PCM3680_PCI },
	{ PCI_DEVICE(0x13fe, 0xc302), .driver_data = PCI5C3A_MIOE3680_PCI },
	{ }
};

/* ---------------------------------------------------------------------- */
/* Driver state */

/**
 * struct pci5c3a_frame - a received frame in a driver queue
 * @id: identifier, right-aligned
 * @len: data length, 0..8
 * @rtr: remote frame
 * @data: data bytes (zero for a remote frame)
 */
struct pci5c3a_frame {
	u32 id;
	u8 len;
	bool rtr;
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
 * @extended: frames sent use 29-bit identifiers (REQ_SET_MODE)
 * @listeners: open files with this port's receive notification on
 * @head: oldest frame in @queue
 * @count: frames in @queue
 * @stats: counters shown in sysfs
 * @queue: the received frames, a ring
 *
 * @extended is under the card's mutex; everything else the interrupt
 * handler touches is under the card's spinlock.
 */
struct pci5c3a_port {
	void __iomem *regs;
	u8 shift;
	bool extended;
	unsigned int listeners;
	unsigned int head;
	unsigned int count;
	u64 stats[PCI5C3A_COUNTERS];
	struct pci5c3a_frame queue[PCI5C3A_QUEUE_LEN];
};

/**
 * struct pci5c3a_card - one bound card
 * @ref: held by the bound PCI device and by every open file
 * @lock: serialises requests; guards @gone, @files and @users (@files is
 *	changed under @hw_lock too, as the interrupt handler walks it)
 * @gone: the card was removed; every further request fails with ENODEV
 * @files: open files, &struct pci5c3a_file
 * @users: number of open files
 * @hw_lock: registers, queues and counters, shared with the interrupt
 *	handler
 * @pdev: the PCI device
 * @board: its layout
 * @index: card number 0..3
 * @bars: mapped BARs
 * @led_reg: the LED latch, or NULL
 * @led: the LED byte, for boards without a latch
 * @dev: the character device's device
 * @signal_work: raises the receive notifications outside interrupt context
 * @ports: the two controllers
 */
struct pci5c3a_card {
	struct kref ref;
	struct mutex lock;
	bool gone;
	struct list_head files;
	unsigned int users;
	spinlock_t hw_lock;
	struct pci_dev *pdev;
	const struct pci5c3a_board *board;
	int index;
	void __iomem *bars[PCI_STD_NUM_BARS];
	void __iomem *led_reg;
	u8 led;
	struct device *dev;
	struct work_struct signal_work;
	struct pci5c3a_port ports[PCI5C3A_PORTS_PER_CARD];
};

/**
 * struct pci5c3a_file - one open file of a card
 * @card: the card, a reference held
 * @filp: the file, whose owner (F_SETOWN) receives the signals
 * @node: in the card's @files
 * @notify: receive notification per port (REQ_EVENT_PORT0/1)
 * @pending: per port, frames queued while @notify was on whose signal the
 *	signal work has not raised yet
 *
 * @notify and @pending are under the card's @hw_lock.
 */
struct pci5c3a_file {
	struct pci5c3a_card *card;
	struct file *filp;
	struct list_head node;
	bool notify[PCI5C3A_PORTS_PER_CARD];
	unsigned int pending[PCI5C3A_PORTS_PER_CARD];
};

static dev_t pci5c3a_devt;
static struct cdev pci5c3a_cdev;
static struct class *pci5c3a_class;

/* Cards by number; a number stays taken until its card is fully removed. */
static DEFINE_MUTEX(pci5c3a_cards_lock);
static struct pci5c3a_card *pci5c3a_cards[PCI5C3A_MAX_CARDS];
static unsigned long pci5c3a_numbers_used;

static void pci5c3a_card_release(struct kref *ref)
{
	struct pci5c3a_card *card = container_of(ref, struct pci5c3a_card, ref);

	mutex_destroy(&card->lock);
	kvfree(card);
}

static void pci5c3a_card_put(struct pci5c3a_card *card)
{
	kref_put(&card->ref, pci5c3a_card_release);
}

/* ---------------------------------------------------------------------- */
/* Register access: every controller access goes through these two. */

static u8 pci5c3a_read(const struct pci5c3a_port *port, unsigned int reg)
{
	return ioread8(port->regs + (reg << port->shift));
}

static void pci5c3a_write(const struct pci5c3a_port *port, unsigned int reg,
			  u8 val)
{
	iowrite8(val, port->regs + (reg << port->shift));
}

static u8 pci5c3a_led_read(const struct pci5c3a_card *card)
{
	return card->led_reg ? ioread8(card->led_reg) : card->led;
}

static void pci5c3a_led_write(struct pci5c3a_card *card, u8 val)
{
	if (card->led_reg)
		iowrite8(val, card->led_reg);
	card->led = val;
}

/* ---------------------------------------------------------------------- */
/* Frames in the transmit buffer and the receive window (registers 16..28
 * in operating mode): frame information, 2 identifier bytes for a standard
 * frame or 4 for an extended one, then the data bytes. */

static void pci5c3a_load_tx(const struct pci5c3a_port *port, u32 id,
			    bool ext, bool rtr, u8 len, const u8 *data)
{
	unsigned int reg = REG_FRAME;
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

static void pci5c3a_read_rx(const struct pci5c3a_port *port,
			    struct pci5c3a_frame *f)
{
	unsigned int reg = REG_FRAME;
	unsigned int i;
	u8 info = pci5c3a_read(port, reg++);
	u32 id = 0;

	memset(f, 0, sizeof(*f));
	f->rtr = info & FI_RTR;
	/* Length codes 9..15 are valid on the bus and mean 8 data bytes. */
	f->len = min_t(u8, info & FI_DLC, 8);
	if (info & FI_FF) {
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

/* ---------------------------------------------------------------------- */
/* Receive path */

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
 * Each frame queued counts one signal for every open file that has the
 * port's notification on at that moment: the signal is due even when the
 * file turns notification off before the signal work runs, and a file that
 * turns it on later gets none for frames already queued.
 *
 * Return: true when a frame was queued for a port with listeners.
 */
static bool pci5c3a_drain(struct pci5c3a_card *card, int p)
{
	struct pci5c3a_port *port = &card->ports[p];
	struct pci5c3a_file *file;
	struct pci5c3a_frame *f;
	bool signal = false;
	int n;

	if (!(pci5c3a_read(port, REG_IER) & IRQ_RI) ||
	    (pci5c3a_read(port, REG_MOD) & MOD_RM))
		return false;

	for (n = 0; n < PCI5C3A_MAX_RELEASES; n++) {
		if (!(pci5c3a_read(port, REG_SR) & SR_RBS))
			break;
		if (port->count == PCI5C3A_QUEUE_LEN) {
			/* Queue full: the new frame is the one dropped. */
			pci5c3a_write(port, REG_CMR, CMD_RRB);
			port->stats[PCI5C3A_RX_DROPPED]++;
			continue;
		}
		f = &port->queue[(port->head + port->count) % PCI5C3A_QUEUE_LEN];
		pci5c3a_read_rx(port, f);
		pci5c3a_write(port, REG_CMR, CMD_RRB);
		port->count++;
		port->stats[PCI5C3A_RX_FRAMES]++;
		if (port->listeners) {
			list_for_each_entry(file, &card->files, node)
				if (file->notify[p])
					file->pending[p]++;
			signal = true;
		}
	}
	return signal;
}

static void pci5c3a_poll(struct pci5c3a_card *card)
{
	unsigned long flags;
	bool signal = false;
	int p;

	spin_lock_irqsave(&card->hw_lock, flags);
	for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++)
		signal |= pci5c3a_drain(card, p);
	spin_unlock_irqrestore(&card->hw_lock, flags);
	if (signal)
		schedule_work(&card->signal_work);
}

/**
 * pci5c3a_irq() - the card's interrupt handler
 * @irq: the interrupt line, shared
 * @dev_id: the card
 *
 * Both channels drive one line. On QEMU's boards the line keeps a single
 * state that the channel updated last decides, so reading one channel's
 * interrupt register can drop the line while the other channel still has
 * work: the handler reads both until a pass finds both quiet. Reading the
 * interrupt register acknowledges the chip's latched conditions; a data
 * overrun is counted, and its status bit left for the application
 * (CanClearOverrun, which also re-enables the interrupt).
 *
 * Return: IRQ_HANDLED when either channel had an interrupt pending.
 */
static irqreturn_t pci5c3a_irq(int irq, void *dev_id)
{
	struct pci5c3a_card *card = dev_id;
	struct pci5c3a_port *port;
	bool handled = false, signal = false, busy;
	int pass, p;
	u8 ir;

	spin_lock(&card->hw_lock);
	for (pass = 0; pass < PCI5C3A_MAX_PASSES; pass++) {
		busy = false;
		for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++) {
			port = &card->ports[p];
			ir = pci5c3a_read(port, REG_IR);
			if (!ir)
				continue;
			busy = true;
			port->stats[PCI5C3A_INTERRUPTS]++;
			if (ir & IRQ_DOI)
				port->stats[PCI5C3A_RX_OVERRUNS]++;
			if (ir & IRQ_RI)
				signal |= pci5c3a_drain(card, p);
		}
		if (!busy)
			break;
		handled = true;
	}
	spin_unlock(&card->hw_lock);

	if (signal)
		schedule_work(&card->signal_work);
	return IRQ_RETVAL(handled);
}

/* ---------------------------------------------------------------------- */
/* Receive notification signals */

/**
 * pci5c3a_may_signal() - may the setter of a file's owner signal a task
 * @uid: real uid of the process that did F_SETOWN
 * @euid: its effective uid
 * @p: the task; under rcu_read_lock()
 *
 * The rule SIGIO follows: F_SETOWN must not let a user signal (and so, with
 * a real-time signal's default action, kill) other users' processes.
 *
 * Return: true when the signal may go to @p.
 */
static bool pci5c3a_may_signal(kuid_t uid, kuid_t euid, struct task_struct *p)
{
	const struct cred *cred = __task_cred(p);

	return uid_eq(euid, GLOBAL_ROOT_UID) ||
	       uid_eq(euid, cred->suid) || uid_eq(euid, cred->uid) ||
	       uid_eq(uid, cred->suid) || uid_eq(uid, cred->uid);
}

/**
 * pci5c3a_signal_owner() - raise a signal in a file's owner
 * @filp: the file; its owner as set by F_SETOWN
 * @sig: signal number
 * @count: how many times (one per frame queued)
 *
 * The owner is read under its lock and a reference taken; the signal goes
 * out after the lock is dropped. A process owner gets it with kill_pid(),
 * a process group owner (F_SETOWN with a negative number) member by member.
 */
static void pci5c3a_signal_owner(struct file *filp, int sig,
				 unsigned int count)
{
	struct fown_struct *fown;
	enum pid_type type;
	struct task_struct *p;
	unsigned long flags;
	kuid_t uid, euid;
	struct pid *pid;
	bool allowed = false;

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 12, 0)
	/* Allocated by the first F_SETOWN; NULL means nobody claimed it. */
	fown = file_f_owner(filp);
	if (!fown)
		return;
#else
	fown = &filp->f_owner;
#endif
	read_lock_irqsave(&fown->lock, flags);
	pid = get_pid(fown->pid);
	type = fown->pid_type;
	uid = fown->uid;
	euid = fown->euid;
	read_unlock_irqrestore(&fown->lock, flags);
	if (!pid)
		return;

	if (type == PIDTYPE_PGID) {
		while (count--) {
			rcu_read_lock();
			do_each_pid_task(pid, PIDTYPE_PGID, p) {
				if (pci5c3a_may_signal(uid, euid, p))
					send_sig(sig, p, 1);
			} while_each_pid_task(pid, PIDTYPE_PGID, p);
			rcu_read_unlock();
		}
	} else {
		rcu_read_lock();
		p = pid_task(pid, PIDTYPE_PID);
		allowed = p && pci5c3a_may_signal(uid, euid, p);
		rcu_read_unlock();
		while (allowed && count--)
			kill_pid(pid, sig, 1);
	}
	put_pid(pid);
}

/**
 * pci5c3a_signal_work() - raise the receive notifications that are due
 * @work: the card's @signal_work
 *
 * The interrupt handler only counts, per open file, the frames queued
 * while the file had notification on; the signals go out from here, in
 * process context. Sending a signal takes the
 * target's signal lock and consults the security modules with the current
 * task's credentials, neither of which belongs in a hard interrupt (on
 * PREEMPT_RT the signal lock sleeps). No spinlock is held while signalling;
 * the card's mutex keeps the open files (and so their owners) in place.
 */
static void pci5c3a_signal_work(struct work_struct *work)
{
	struct pci5c3a_card *card = container_of(work, struct pci5c3a_card,
						 signal_work);
	static const int sig[PCI5C3A_PORTS_PER_CARD] = {
		PCI5C3A_SIG_PORT0, PCI5C3A_SIG_PORT1
	};
	unsigned int due[PCI5C3A_PORTS_PER_CARD];
	struct pci5c3a_file *f;
	int p;

	mutex_lock(&card->lock);
	list_for_each_entry(f, &card->files, node) {
		spin_lock_irq(&card->hw_lock);
		for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++) {
			due[p] = f->pending[p];
			f->pending[p] = 0;
		}
		spin_unlock_irq(&card->hw_lock);
		if (card->gone)
			continue;
		for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++)
			if (due[p])
				pci5c3a_signal_owner(f->filp, sig[p], due[p]);
	}
	mutex_unlock(&card->lock);
}

static void pci5c3a_set_notify(struct pci5c3a_file *f, int port, bool on)
{
	struct pci5c3a_card *card = f->card;

	spin_lock_irq(&card->hw_lock);
	if (f->notify[port] == on) {
		spin_unlock_irq(&card->hw_lock);
		return;
	}
	f->notify[port] = on;
	if (on)
		card->ports[port].listeners++;
	else
		card->ports[port].listeners--;
	spin_unlock_irq(&card->hw_lock);
}

/* ---------------------------------------------------------------------- */
/* Requests. Each returns 0 or a negative errno; the card's mutex held. */

static int pci5c3a_port_of(const struct pci5c3a_card *card, int handle)
{
	if (handle < 0 || handle >= PCI5C3A_MAX_HANDLES ||
	    handle / PCI5C3A_PORTS_PER_CARD != card->index)
		return -EINVAL;
	return handle % PCI5C3A_PORTS_PER_CARD;
}

/*
 * The address space: 0..127 port 0's window, 128..255 port 1's, with the
 * LED at 64 (inside port 0's window, past its controller). Offsets 32..127
 * of a window other than the LED are not decoded: they read 0 and ignore
 * writes. Addresses from 256 up are refused.
 */
static int pci5c3a_reg_access(struct pci5c3a_card *card, REG_ACCESS *r,
			      bool write)
{
	struct pci5c3a_port *port;
	unsigned int reg;
	unsigned long flags;

	if (r->addr >= PCI5C3A_ADDR_SPACE)
		return -EINVAL;
	port = &card->ports[r->addr / PCI5C3A_PORT_WINDOW];
	reg = r->addr % PCI5C3A_PORT_WINDOW;

	spin_lock_irqsave(&card->hw_lock, flags);
	if (r->addr == PCI5C3A_LED_ADDR) {
		if (write)
			pci5c3a_led_write(card, r->data);
		else
			r->data = pci5c3a_led_read(card);
	} else if (reg >= REG_COUNT) {
		if (!write)
			r->data = 0;
	} else if (write) {
		pci5c3a_write(port, reg, r->data);
	} else {
		r->data = pci5c3a_read(port, reg);
	}
	spin_unlock_irqrestore(&card->hw_lock, flags);

	if (write)
		pci5c3a_poll(card);
	return 0;
}

/*
 * The chip transmits only in operating mode, not listening only, and not
 * while bus-off; it takes a new frame only once the transmit buffer is
 * released (TBS), i.e. the previous one was acknowledged or aborted.
 */
static int pci5c3a_send(struct pci5c3a_card *card, const MSG_XFER *x)
{
	int p = pci5c3a_port_of(card, x->handle);
	struct pci5c3a_port *port;
	unsigned long flags;
	u32 id;
	int ret = 0;

	if (p < 0 || x->packet.len > 8)
		return -EINVAL;
	port = &card->ports[p];
	id = x->packet.id & (port->extended ? SJA1000_EXT_ID_MASK :
					      SJA1000_STD_ID_MASK);

	spin_lock_irqsave(&card->hw_lock, flags);
	if ((pci5c3a_read(port, REG_MOD) & (MOD_RM | MOD_LOM)) ||
	    (pci5c3a_read(port, REG_SR) & SR_BS)) {
		ret = -EIO;
	} else if (!(pci5c3a_read(port, REG_SR) & SR_TBS)) {
		ret = -EBUSY;
	} else {
		pci5c3a_load_tx(port, id, port->extended, x->packet.rtr,
				x->packet.len, x->packet.data);
		pci5c3a_write(port, REG_CMR, CMD_TR);
		port->stats[PCI5C3A_TX_FRAMES]++;
	}
	spin_unlock_irqrestore(&card->hw_lock, flags);
	return ret;
}

/* Copies the oldest frame out, and only then takes it off the queue: a
 * record that cannot be written loses nothing. */
static int pci5c3a_receive(struct pci5c3a_card *card, MSG_XFER *x,
			   MSG_XFER __user *uptr)
{
	int p = pci5c3a_port_of(card, x->handle);
	struct pci5c3a_port *port;
	struct pci5c3a_frame f;

	if (p < 0)
		return -EINVAL;
	port = &card->ports[p];

	spin_lock_irq(&card->hw_lock);
	if (!port->count) {
		spin_unlock_irq(&card->hw_lock);
		return -EAGAIN;
	}
	f = port->queue[port->head];
	spin_unlock_irq(&card->hw_lock);

	memset(&x->packet, 0, sizeof(x->packet));
	x->packet.id = f.id;
	x->packet.rtr = f.rtr;
	x->packet.len = f.len;
	memcpy(x->packet.data, f.data, sizeof(x->packet.data));
	if (copy_to_user(uptr, x, sizeof(*x)))
		return -EFAULT;

	/* Only requests take frames off, and they hold the card's mutex. */
	spin_lock_irq(&card->hw_lock);
	port->head = (port->head + 1) % PCI5C3A_QUEUE_LEN;
	port->count--;
	spin_unlock_irq(&card->hw_lock);
	return 0;
}

static int pci5c3a_rcv_count(struct pci5c3a_card *card, RCV_COUNT *r)
{
	int p = pci5c3a_port_of(card, r->handle);

	if (p < 0)
		return -EINVAL;
	spin_lock_irq(&card->hw_lock);
	r->count = card->ports[p].count;
	spin_unlock_irq(&card->hw_lock);
	return 0;
}

/**
 * union pci5c3a_record - the record of any request
 * @reg: REQ_REG_READ, REQ_REG_WRITE, REQ_PORT_CLOSE, REQ_LAST_CLOSE
 * @mode: REQ_SET_MODE
 * @msg: REQ_SEND, REQ_RECEIVE
 * @count: REQ_RCV_COUNT
 * @flag: REQ_EVENT_PORT0, REQ_EVENT_PORT1
 */
union pci5c3a_record {
	REG_ACCESS reg;
	MODE_SET mode;
	MSG_XFER msg;
	RCV_COUNT count;
	u16 flag;
};

static size_t pci5c3a_record_size(unsigned int cmd)
{
	switch (cmd) {
	case REQ_EVENT_PORT0:
	case REQ_EVENT_PORT1:
		return sizeof(u16);
	case REQ_PORT_CLOSE:
	case REQ_LAST_CLOSE:
	case REQ_REG_READ:
	case REQ_REG_WRITE:
		return sizeof(REG_ACCESS);
	case REQ_SET_MODE:
		return sizeof(MODE_SET);
	case REQ_SEND:
	case REQ_RECEIVE:
		return sizeof(MSG_XFER);
	case REQ_RCV_COUNT:
		return sizeof(RCV_COUNT);
	default:
		return 0;
	}
}

static int pci5c3a_request(struct pci5c3a_file *f, unsigned int cmd,
			   union pci5c3a_record *r, void __user *uptr)
{
	struct pci5c3a_card *card = f->card;
	int p;

	switch (cmd) {
	case REQ_REG_READ:
		return pci5c3a_reg_access(card, &r->reg, false);
	case REQ_REG_WRITE:
		return pci5c3a_reg_access(card, &r->reg, true);
	case REQ_SET_MODE:
		p = pci5c3a_port_of(card, r->mode.handle);
		if (p < 0 || r->mode.mode > PCI5C3A_ID_EXTENDED)
			return -EINVAL;
		card->ports[p].extended = r->mode.mode == PCI5C3A_ID_EXTENDED;
		return 0;
	case REQ_SEND:
		return pci5c3a_send(card, &r->msg);
	case REQ_RECEIVE:
		return pci5c3a_receive(card, &r->msg, uptr);
	case REQ_RCV_COUNT:
		return pci5c3a_rcv_count(card, &r->count);
	case REQ_EVENT_PORT0:
	case REQ_EVENT_PORT1:
		pci5c3a_set_notify(f, cmd == REQ_EVENT_PORT0 ? 0 : 1,
				   r->flag != 0);
		return 0;
	case REQ_PORT_CLOSE:
		/* addr is the closed port's window base. */
		if (r->reg.addr % PCI5C3A_PORT_WINDOW ||
		    r->reg.addr >= PCI5C3A_ADDR_SPACE)
			return -EINVAL;
		pci5c3a_set_notify(f, r->reg.addr / PCI5C3A_PORT_WINDOW, false);
		return 0;
	case REQ_LAST_CLOSE:
		/* The library's last port is closed: data is the LED byte. */
		spin_lock_irq(&card->hw_lock);
		pci5c3a_led_write(card, r->reg.data);
		spin_unlock_irq(&card->hw_lock);
		return 0;
	}
	return -ENOTTY;
}

/*
 * Order of checks: an unknown code (ENOTTY), a record that cannot be read
 * (EFAULT), a removed card (ENODEV), then the request's own. The records
 * hold no pointers and have one layout for 32-bit and 64-bit programs, so
 * this serves compat_ioctl as well.
 */
static long pci5c3a_ioctl(struct file *filp, unsigned int cmd,
			  unsigned long arg)
{
	struct pci5c3a_file *f = filp->private_data;
	struct pci5c3a_card *card = f->card;
	void __user *uptr = (void __user *)arg;
	size_t size = pci5c3a_record_size(cmd);
	union pci5c3a_record r;
	int ret;

	if (!size)
		return -ENOTTY;
	if (!uptr || copy_from_user(&r, uptr, size))
		return -EFAULT;

	mutex_lock(&card->lock);
	if (card->gone) {
		ret = -ENODEV;
	} else {
		ret = pci5c3a_request(f, cmd, &r, uptr);
		/* REQ_RECEIVE writes its record itself. */
		if (!ret && (cmd == REQ_REG_READ || cmd == REQ_RCV_COUNT) &&
		    copy_to_user(uptr, &r, size))
			ret = -EFAULT;
	}
	mutex_unlock(&card->lock);
	return ret;
}

/* ---------------------------------------------------------------------- */
/* Open and close */

static int pci5c3a_open(struct inode *inode, struct file *filp)
{
	unsigned int minor = iminor(inode);
	struct pci5c3a_card *card = NULL;
	struct pci5c3a_file *f;
	int p, ret;

	mutex_lock(&pci5c3a_cards_lock);
	if (minor < PCI5C3A_MAX_CARDS)
		card = pci5c3a_cards[minor];
	if (card)
		kref_get(&card->ref);
	mutex_unlock(&pci5c3a_cards_lock);
	if (!card)
		return -ENODEV;

	f = kzalloc(sizeof(*f), GFP_KERNEL);
	if (!f) {
		ret = -ENOMEM;
		goto err_put;
	}
	f->card = card;
	f->filp = filp;

	mutex_lock(&card->lock);
	if (card->gone) {
		mutex_unlock(&card->lock);
		ret = -ENODEV;
		goto err_free;
	}
	/* A first user starts with empty queues: frames a previous program
	 * left behind are not its own. */
	if (card->users++ == 0) {
		spin_lock_irq(&card->hw_lock);
		for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++) {
			card->ports[p].head = 0;
			card->ports[p].count = 0;
		}
		spin_unlock_irq(&card->hw_lock);
	}
	spin_lock_irq(&card->hw_lock);
	list_add_tail(&f->node, &card->files);
	spin_unlock_irq(&card->hw_lock);
	mutex_unlock(&card->lock);

	filp->private_data = f;
	return stream_open(inode, filp);

err_free:
	kfree(f);
err_put:
	pci5c3a_card_put(card);
	return ret;
}

static int pci5c3a_release(struct inode *inode, struct file *filp)
{
	struct pci5c3a_file *f = filp->private_data;
	struct pci5c3a_card *card = f->card;
	int p;

	mutex_lock(&card->lock);
	for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++)
		pci5c3a_set_notify(f, p, false);
	spin_lock_irq(&card->hw_lock);
	list_del(&f->node);
	spin_unlock_irq(&card->hw_lock);
	card->users--;
	mutex_unlock(&card->lock);

	kfree(f);
	pci5c3a_card_put(card);
	return 0;
}

static const struct file_operations pci5c3a_fops = {
	.owner = THIS_MODULE,
	.open = pci5c3a_open,
	.release = pci5c3a_release,
	.unlocked_ioctl = pci5c3a_ioctl,
	.compat_ioctl = compat_ptr_ioctl,
};

/* ---------------------------------------------------------------------- */
/* sysfs: /sys/class/pci5c3a/PCI5C3AWn/{board,crystal_hz,port0/,port1/} */

/**
 * struct pci5c3a_stat_attr - a per-port counter file
 * @attr: the device attribute
 * @port: port number
 * @counter: &enum pci5c3a_counter
 */
struct pci5c3a_stat_attr {
	struct device_attribute attr;
	u8 port;
	u8 counter;
};

static ssize_t pci5c3a_stat_show(struct device *dev,
				 struct device_attribute *attr, char *buf)
{
	struct pci5c3a_card *card = dev_get_drvdata(dev);
	struct pci5c3a_stat_attr *sa =
		container_of(attr, struct pci5c3a_stat_attr, attr);
	unsigned long flags;
	u64 val;

	spin_lock_irqsave(&card->hw_lock, flags);
	val = card->ports[sa->port].stats[sa->counter];
	spin_unlock_irqrestore(&card->hw_lock, flags);
	return sysfs_emit(buf, "%llu\n", val);
}

#define PCI5C3A_STAT(_port, _name, _counter)				\
	static struct pci5c3a_stat_attr pci5c3a_stat##_port##_##_name = {	\
		.attr = __ATTR(_name, 0444, pci5c3a_stat_show, NULL),	\
		.port = _port,						\
		.counter = _counter,					\
	}

#define PCI5C3A_PORT_STATS(_port)					\
	PCI5C3A_STAT(_port, rx_frames, PCI5C3A_RX_FRAMES);		\
	PCI5C3A_STAT(_port, tx_frames, PCI5C3A_TX_FRAMES);		\
	PCI5C3A_STAT(_port, rx_dropped, PCI5C3A_RX_DROPPED);		\
	PCI5C3A_STAT(_port, rx_overruns, PCI5C3A_RX_OVERRUNS);		\
	PCI5C3A_STAT(_port, interrupts, PCI5C3A_INTERRUPTS);		\
	static struct attribute *pci5c3a_port##_port##_attrs[] = {	\
		&pci5c3a_stat##_port##_rx_frames.attr.attr,		\
		&pci5c3a_stat##_port##_tx_frames.attr.attr,		\
		&pci5c3a_stat##_port##_rx_dropped.attr.attr,		\
		&pci5c3a_stat##_port##_rx_overruns.attr.attr,		\
		&pci5c3a_stat##_port##_interrupts.attr.attr,		\
		NULL							\
	};								\
	static const struct attribute_group pci5c3a_port##_port##_group = { \
		.name = "port" #_port,					\
		.attrs = pci5c3a_port##_port##_attrs,			\
	}

PCI5C3A_PORT_STATS(0);
PCI5C3A_PORT_STATS(1);

static ssize_t board_show(struct device *dev, struct device_attribute *attr,
			  char *buf)
{
	struct pci5c3a_card *card = dev_get_drvdata(dev);

	return sysfs_emit(buf, "%s\n", card->board->name);
}
static DEVICE_ATTR_RO(board);

static ssize_t crystal_hz_show(struct device *dev,
			       struct device_attribute *attr, char *buf)
{
	struct pci5c3a_card *card = dev_get_drvdata(dev);

	return sysfs_emit(buf, "%u\n", card->board->crystal_hz);
}
static DEVICE_ATTR_RO(crystal_hz);

static struct attribute *pci5c3a_card_attrs[] = {
	&dev_attr_board.attr,
	&dev_attr_crystal_hz.attr,
	NULL
};

static const struct attribute_group pci5c3a_card_group = {
	.attrs = pci5c3a_card_attrs,
};

static const struct attribute_group *pci5c3a_groups[] = {
	&pci5c3a_card_group,
	&pci5c3a_port0_group,
	&pci5c3a_port1_group,
	NULL
};

/* ---------------------------------------------------------------------- */
/* Probe and remove */

/* Puts a controller in PeliCAN mode and reset mode with its interrupts
 * off: a quiet line until the library configures the port. */
static void pci5c3a_quiet(const struct pci5c3a_port *port)
{
	pci5c3a_write(port, REG_CDR, CDR_CARD);
	pci5c3a_write(port, REG_MOD, MOD_RM);
	pci5c3a_write(port, REG_IER, 0);
}

static void __iomem *pci5c3a_map(struct pci5c3a_card *card,
				 const struct pci5c3a_window *w,
				 unsigned int span)
{
	struct pci_dev *pdev = card->pdev;

	if (w->bar >= PCI_STD_NUM_BARS ||
	    pci_resource_len(pdev, w->bar) < w->offset + span) {
		dev_err(&pdev->dev, "BAR%u too small for the %s layout\n",
			w->bar, card->board->name);
		return NULL;
	}
	if (!card->bars[w->bar]) {
		card->bars[w->bar] = pci_iomap(pdev, w->bar, 0);
		if (!card->bars[w->bar]) {
			dev_err(&pdev->dev, "cannot map BAR%u\n", w->bar);
			return NULL;
		}
	}
	return card->bars[w->bar] + w->offset;
}

static void pci5c3a_unmap(struct pci5c3a_card *card)
{
	int bar;

	for (bar = 0; bar < PCI_STD_NUM_BARS; bar++)
		if (card->bars[bar])
			pci_iounmap(card->pdev, card->bars[bar]);
}

static int pci5c3a_take_number(void)
{
	int n;

	mutex_lock(&pci5c3a_cards_lock);
	n = find_first_zero_bit(&pci5c3a_numbers_used, PCI5C3A_MAX_CARDS);
	if (n < PCI5C3A_MAX_CARDS)
		__set_bit(n, &pci5c3a_numbers_used);
	else
		n = -ENOSPC;
	mutex_unlock(&pci5c3a_cards_lock);
	return n;
}

static void pci5c3a_give_number(int n)
{
	mutex_lock(&pci5c3a_cards_lock);
	__clear_bit(n, &pci5c3a_numbers_used);
	mutex_unlock(&pci5c3a_cards_lock);
}

static int pci5c3a_probe(struct pci_dev *pdev, const struct pci_device_id *id)
{
	const struct pci5c3a_board *board;
	struct pci5c3a_card *card;
	struct pci5c3a_port *port;
	int p, ret;
	u8 mod;

	if (id->driver_data >= ARRAY_SIZE(pci5c3a_boards)) {
		dev_err(&pdev->dev, "no board layout %lu\n", id->driver_data);
		return -EINVAL;
	}
	board = &pci5c3a_boards[id->driver_data];

	card = kvzalloc(sizeof(*card), GFP_KERNEL);
	if (!card)
		return -ENOMEM;
	kref_init(&card->ref);
	mutex_init(&card->lock);
	INIT_LIST_HEAD(&card->files);
	spin_lock_init(&card->hw_lock);
	INIT_WORK(&card->signal_work, pci5c3a_signal_work);
	card->pdev = pdev;
	card->board = board;

	ret = pci_enable_device(pdev);
	if (ret) {
		dev_err(&pdev->dev, "cannot enable the device: %d\n", ret);
		goto err_free;
	}
	ret = pci_request_regions(pdev, DRV_NAME);
	if (ret) {
		dev_err(&pdev->dev, "cannot claim its BARs: %d\n", ret);
		goto err_disable;
	}

	ret = -ENOMEM;
	for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++) {
		port = &card->ports[p];
		port->shift = board->chan[p].shift;
		port->regs = pci5c3a_map(card, &board->chan[p],
					 REG_COUNT << port->shift);
		if (!port->regs)
			goto err_unmap;
	}
	if (board->has_led) {
		card->led_reg = pci5c3a_map(card, &board->led, 1);
		if (!card->led_reg)
			goto err_unmap;
	}

	/* Both controllers quiet, and answering: reset mode must stick. */
	for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++) {
		pci5c3a_quiet(&card->ports[p]);
		mod = pci5c3a_read(&card->ports[p], REG_MOD);
		if (!(mod & MOD_RM) || mod == 0xff) {
			dev_err(&pdev->dev,
				"no controller answers on port %d (mode 0x%02x)\n",
				p, mod);
			ret = -ENODEV;
			goto err_unmap;
		}
	}

	card->index = pci5c3a_take_number();
	if (card->index < 0) {
		dev_err(&pdev->dev, "%d cards are bound already\n",
			PCI5C3A_MAX_CARDS);
		ret = card->index;
		goto err_unmap;
	}

	if (!pdev->irq) {
		dev_err(&pdev->dev, "no interrupt line assigned\n");
		ret = -ENODEV;
		goto err_number;
	}
	ret = request_irq(pdev->irq, pci5c3a_irq, IRQF_SHARED, DRV_NAME, card);
	if (ret) {
		dev_err(&pdev->dev, "cannot request irq %d: %d\n", pdev->irq,
			ret);
		goto err_number;
	}

	card->dev = device_create_with_groups(pci5c3a_class, &pdev->dev,
					      MKDEV(MAJOR(pci5c3a_devt),
						    card->index),
					      card, pci5c3a_groups,
					      "PCI5C3AW%d", card->index);
	if (IS_ERR(card->dev)) {
		ret = PTR_ERR(card->dev);
		dev_err(&pdev->dev, "cannot create PCI5C3AW%d: %d\n",
			card->index, ret);
		goto err_irq;
	}

	pci_set_drvdata(pdev, card);
	mutex_lock(&pci5c3a_cards_lock);
	pci5c3a_cards[card->index] = card;
	mutex_unlock(&pci5c3a_cards_lock);

	dev_info(&pdev->dev, "%s layout, card %d: /dev/PCI5C3AW%d, irq %d\n",
		 board->name, card->index, card->index, pdev->irq);
	return 0;

err_irq:
	free_irq(pdev->irq, card);
err_number:
	pci5c3a_give_number(card->index);
err_unmap:
	pci5c3a_unmap(card);
	pci_release_regions(pdev);
err_disable:
	pci_disable_device(pdev);
err_free:
	pci5c3a_card_put(card);
	return ret;
}

/*
 * Unbinding with files open: new opens fail at once, requests already
 * inside finish, every later request fails with ENODEV, and the card's
 * memory lives on until the last file is closed.
 */
static void pci5c3a_remove(struct pci_dev *pdev)
{
	struct pci5c3a_card *card = pci_get_drvdata(pdev);
	int p;

	mutex_lock(&pci5c3a_cards_lock);
	pci5c3a_cards[card->index] = NULL;
	mutex_unlock(&pci5c3a_cards_lock);

	mutex_lock(&card->lock);
	card->gone = true;
	mutex_unlock(&card->lock);

	spin_lock_irq(&card->hw_lock);
	for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++)
		pci5c3a_quiet(&card->ports[p]);
	spin_unlock_irq(&card->hw_lock);
	free_irq(pdev->irq, card);
	cancel_work_sync(&card->signal_work);

	device_destroy(pci5c3a_class, MKDEV(MAJOR(pci5c3a_devt), card->index));
	pci5c3a_give_number(card->index);
	pci5c3a_unmap(card);
	pci_release_regions(pdev);
	pci_disable_device(pdev);
	dev_info(&pdev->dev, "card %d removed\n", card->index);
	pci5c3a_card_put(card);
}

static struct pci_driver pci5c3a_driver = {
	.name = DRV_NAME,
	.id_table = pci5c3a_ids,
	.probe = pci5c3a_probe,
	.remove = pci5c3a_remove,
};

/* ---------------------------------------------------------------------- */
/* Module parameters and init */

static char *ids;
module_param(ids, charp, 0444);
MODULE_PARM_DESC(ids,
		 "PCI ids to bind, VVVV:DDDD[:board],... in hex; board is a layout name (pcm3680_pci, the default, or mioe3680_pci)");

static int pci5c3a_board_by_name(const char *name)
{
	int i;

	for (i = 0; i < ARRAY_SIZE(pci5c3a_boards); i++)
		if (!strcmp(name, pci5c3a_boards[i].name))
			return i;
	return -EINVAL;
}

/* One entry of ids=: VVVV:DDDD or VVVV:DDDD:board; added only when @add. */
static int pci5c3a_parse_id(char *entry, bool add)
{
	char *vendor = strsep(&entry, ":");
	char *device = strsep(&entry, ":");
	unsigned int v, d;
	int board = PCI5C3A_PCM3680_PCI;

	if (!device || kstrtouint(vendor, 16, &v) || v > 0xffff ||
	    kstrtouint(device, 16, &d) || d > 0xffff)
		return -EINVAL;
	if (entry) {
		board = pci5c3a_board_by_name(entry);
		if (board < 0)
			return board;
	}
	if (!add)
		return 0;
	return pci_add_dynid(&pci5c3a_driver, v, d, PCI_ANY_ID, PCI_ANY_ID,
			     0, 0, board);
}

/**
 * pci5c3a_parse_ids() - check or apply the ids= module parameter
 * @add: false to only check every entry, true to add them as dynamic ids
 *
 * The module checks the whole list before it registers the driver, so a
 * malformed list binds nothing, then adds the ids after registering.
 *
 * Return: 0, or a negative errno for the first entry that fails.
 */
static int pci5c3a_parse_ids(bool add)
{
	char *list, *rest, *entry;
	int n = 0, ret = 0;

	if (!ids || !*ids)
		return 0;
	list = kstrdup(ids, GFP_KERNEL);
	if (!list)
		return -ENOMEM;
	rest = list;
	while ((entry = strsep(&rest, ",")) != NULL) {
		n++;
		if (!*entry)
			continue;
		ret = pci5c3a_parse_id(entry, add);
		if (ret) {
			pr_err("ids=%s: entry %d is not VVVV:DDDD[:board] (hex ids; board pcm3680_pci or mioe3680_pci): %d\n",
			       ids, n, ret);
			break;
		}
	}
	kfree(list);
	return ret;
}

/* The request codes are the driver's ABI: the header spells them out as
 * numbers, and they must be what the _IO encoding of their records gives. */
static void __init pci5c3a_check_abi(void)
{
	BUILD_BUG_ON(REQ_EVENT_PORT0 != _IO(PCI5C3A_IOC_TYPE, 5));
	BUILD_BUG_ON(REQ_EVENT_PORT1 != _IO(PCI5C3A_IOC_TYPE, 6));
	BUILD_BUG_ON(REQ_PORT_CLOSE != _IOW(PCI5C3A_IOC_TYPE, 0x13, REG_ACCESS));
	BUILD_BUG_ON(REQ_LAST_CLOSE != _IOW(PCI5C3A_IOC_TYPE, 0x14, REG_ACCESS));
	BUILD_BUG_ON(REQ_SET_MODE != _IOW(PCI5C3A_IOC_TYPE, 0x15, MODE_SET));
	BUILD_BUG_ON(REQ_REG_READ != _IOR(PCI5C3A_IOC_TYPE, 0x16, REG_ACCESS));
	BUILD_BUG_ON(REQ_REG_WRITE != _IOW(PCI5C3A_IOC_TYPE, 0x17, REG_ACCESS));
	BUILD_BUG_ON(REQ_SEND != _IOW(PCI5C3A_IOC_TYPE, 0x18, MSG_XFER));
	BUILD_BUG_ON(REQ_RECEIVE != _IOR(PCI5C3A_IOC_TYPE, 0x19, MSG_XFER));
	BUILD_BUG_ON(REQ_RCV_COUNT != _IOR(PCI5C3A_IOC_TYPE, 0x1A, RCV_COUNT));
	BUILD_BUG_ON(sizeof(REG_ACCESS) != 12);
	BUILD_BUG_ON(offsetof(REG_ACCESS, addr) != 4);
	BUILD_BUG_ON(offsetof(REG_ACCESS, data) != 8);
	BUILD_BUG_ON(sizeof(MODE_SET) != 8);
	BUILD_BUG_ON(sizeof(MSG_XFER) != 32);
	BUILD_BUG_ON(offsetof(MSG_XFER, packet) != 8);
	BUILD_BUG_ON(sizeof(CAN_PACKET) != 24);
	BUILD_BUG_ON(offsetof(CAN_PACKET, data) != 6);
	BUILD_BUG_ON(sizeof(RCV_COUNT) != 8);
	BUILD_BUG_ON(offsetof(RCV_COUNT, count) != 4);
	BUILD_BUG_ON(PCI5C3A_LED_ADDR % PCI5C3A_PORT_WINDOW < REG_COUNT);
}

static int __init pci5c3a_init(void)
{
	int ret;

	pci5c3a_check_abi();
	ret = pci5c3a_parse_ids(false);
	if (ret)
		return ret;

	ret = alloc_chrdev_region(&pci5c3a_devt, 0, PCI5C3A_MAX_CARDS,
				  DRV_NAME);
	if (ret)
		return ret;
	cdev_init(&pci5c3a_cdev, &pci5c3a_fops);
	pci5c3a_cdev.owner = THIS_MODULE;
	ret = cdev_add(&pci5c3a_cdev, pci5c3a_devt, PCI5C3A_MAX_CARDS);
	if (ret)
		goto err_region;

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 4, 0)
	pci5c3a_class = class_create(DRV_NAME);
#else
	pci5c3a_class = class_create(THIS_MODULE, DRV_NAME);
#endif
	if (IS_ERR(pci5c3a_class)) {
		ret = PTR_ERR(pci5c3a_class);
		goto err_cdev;
	}

	ret = pci_register_driver(&pci5c3a_driver);
	if (ret)
		goto err_class;
	ret = pci5c3a_parse_ids(true);
	if (ret)
		goto err_driver;
	return 0;

err_driver:
	pci_unregister_driver(&pci5c3a_driver);
err_class:
	class_destroy(pci5c3a_class);
err_cdev:
	cdev_del(&pci5c3a_cdev);
err_region:
	unregister_chrdev_region(pci5c3a_devt, PCI5C3A_MAX_CARDS);
	return ret;
}
module_init(pci5c3a_init);

static void __exit pci5c3a_exit(void)
{
	pci_unregister_driver(&pci5c3a_driver);
	class_destroy(pci5c3a_class);
	cdev_del(&pci5c3a_cdev);
	unregister_chrdev_region(pci5c3a_devt, PCI5C3A_MAX_CARDS);
}
module_exit(pci5c3a_exit);

MODULE_DESCRIPTION("5C3A two-port SJA1000 CAN PCI card: character devices PCI5C3AW0..3");
MODULE_LICENSE("Dual MIT/GPL");
