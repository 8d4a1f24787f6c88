// SPDX-License-Identifier: GPL-2.0-only OR MIT
/*
 * chardev.c - the character device /dev/PCI5C3AWn of each card: the
 * library's requests on their records, the per-port receive queues, open
 * and close, and the counters and each port's personality in sysfs.
 *
 * A port that is a network device is not the character device's: every
 * request that names it fails with EADDRINUSE. The LED and the library's
 * last close are the card's, and work whatever its ports are.
 *
 * Requests that touch the controllers hold the card's mutex, which removal
 * takes to mark the card gone; nothing copies to user space while holding
 * it, so a record in a page that faults slowly (a FUSE mapping, a
 * userfaultfd) holds up only its own request.
 */

#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/cdev.h>
#include <linux/compat.h>
#include <linux/fs.h>
#include <linux/jiffies.h>
#include <linux/slab.h>
#include <linux/uaccess.h>

#include "compat.h"
#include "pci5c3a.h"

static dev_t pci5c3a_devt;
static struct cdev pci5c3a_cdev;
static struct class *pci5c3a_class;

/* After every register write the driver looks for frames that waited in
 * the controllers (poll); this bounds how often a port is looked at for
 * frames that wait without an interrupt, and how long before it says so. */
#define PCI5C3A_STUCK_CHECK (HZ / 10)
#define PCI5C3A_STUCK_WARN (HZ / 2)

void pci5c3a_poll(struct pci5c3a_card *card)
{
	unsigned long flags;
	bool signal = false;
	int p;

	spin_lock_irqsave(&card->hw_lock, flags);
	for (p = 0; p < card->ports; p++)
		if (!card->port[p].ndev)
			signal |= pci5c3a_drain(card, p);
	spin_unlock_irqrestore(&card->hw_lock, flags);
	if (signal)
		schedule_work(&card->signal_work);
}

/* ---------------------------------------------------------------------- */
/* Requests. Each returns 0 or a negative errno; the card's mutex held. */

/* A handle of another card is EINVAL; a port the board does not have
 * (a one-channel board's port 1) is ENXIO. */
static int pci5c3a_port_of(const struct pci5c3a_card *card, int handle)
{
	int p;

	if (handle < 0 || handle >= PCI5C3A_MAX_HANDLES ||
	    handle / PCI5C3A_PORTS_PER_CARD != card->index)
		return -EINVAL;
	p = handle % PCI5C3A_PORTS_PER_CARD;
	return p < card->ports ? p : -ENXIO;
}

/*
 * What only the board knows, the driver owns: the clock output bits of the
 * clock divider and the output control register are the board's, whatever
 * the application writes. Reads return what the controller holds.
 */
static u8 pci5c3a_board_value(const struct pci5c3a_card *card,
			      unsigned int reg, u8 val)
{
	switch (reg) {
	case SJA1000_CDR:
		return pci5c3a_board_cdr(card->board, val);
	case SJA1000_OCR:
		return card->board->ocr;
	default:
		return val;
	}
}

/*
 * The address space: 0..127 port 0's window, 128..255 port 1's, with the
 * LED at 64 (inside port 0's window, past its controller). Offsets 32..127
 * of a window other than the LED are not decoded: they read 0 and ignore
 * writes. Addresses from 256 up are refused, those of a port the board
 * does not have too.
 */
static int pci5c3a_reg_access(struct pci5c3a_card *card, REG_ACCESS *r,
			      bool write)
{
	struct pci5c3a_port *port;
	unsigned int reg;
	unsigned long flags;

	if (r->addr >= PCI5C3A_ADDR_SPACE)
		return -EINVAL;
	if (r->addr / PCI5C3A_PORT_WINDOW >= card->ports)
		return -ENXIO;
	port = &card->port[r->addr / PCI5C3A_PORT_WINDOW];
	reg = r->addr % PCI5C3A_PORT_WINDOW;

	spin_lock_irqsave(&card->hw_lock, flags);
	if (r->addr == PCI5C3A_LED_ADDR) {
		if (write)
			card->led = r->data;
		else
			r->data = card->led;
	} else if (reg >= SJA1000_COUNT) {
		if (!write)
			r->data = 0;
	} else if (write) {
		pci5c3a_write(port, reg, pci5c3a_board_value(card, reg,
							     r->data));
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

	if (p < 0)
		return p;
	if (x->packet.len > 8)
		return -EINVAL;
	port = &card->port[p];
	id = x->packet.id & (port->extended ? SJA1000_EXT_ID_MASK :
					      SJA1000_STD_ID_MASK);

	spin_lock_irqsave(&card->hw_lock, flags);
	if ((pci5c3a_read(port, SJA1000_MOD) & (MOD_RM | MOD_LOM)) ||
	    (pci5c3a_read(port, SJA1000_SR) & SR_BS)) {
		ret = -EIO;
	} else if (!(pci5c3a_read(port, SJA1000_SR) & SR_TBS)) {
		ret = -EBUSY;
	} else {
		pci5c3a_load_tx(port, id, port->extended, x->packet.rtr,
				x->packet.len, x->packet.data);
		pci5c3a_write(port, SJA1000_CMR, CMD_TR);
		port->stats[PCI5C3A_TX_FRAMES]++;
	}
	spin_unlock_irqrestore(&card->hw_lock, flags);
	return ret;
}

/*
 * A board whose bridge does not pass the controllers' interrupt on (its
 * interrupt control left off, or a layout of another bridge family) looks
 * like a silent bus: frames wait in the controller and never reach the
 * queue. When a port's queue is asked for and frames have waited with the
 * receive interrupt enabled for half a second without the card taking a
 * single interrupt, the kernel log says so, once per card.
 */
static void pci5c3a_check_stuck(struct pci5c3a_card *card, int p)
{
	struct pci5c3a_port *port = &card->port[p];
	bool waiting;

	if (card->irq_warned || time_before(jiffies, port->check_at))
		return;
	port->check_at = jiffies + PCI5C3A_STUCK_CHECK;

	spin_lock_irq(&card->hw_lock);
	waiting = !port->count &&
		  (pci5c3a_read(port, SJA1000_IER) & IRQ_RI) &&
		  !(pci5c3a_read(port, SJA1000_MOD) & MOD_RM) &&
		  (pci5c3a_read(port, SJA1000_SR) & SR_RBS);
	if (!waiting || !port->stuck_since || port->stuck_irqs != card->irqs) {
		port->stuck_since = waiting ? jiffies | 1 : 0;
		port->stuck_irqs = card->irqs;
		waiting = false;
	}
	spin_unlock_irq(&card->hw_lock);

	if (waiting &&
	    time_after(jiffies, port->stuck_since + PCI5C3A_STUCK_WARN)) {
		card->irq_warned = true;
		dev_warn(&card->pdev->dev,
			 "port %d: frames wait in the controller but its interrupt never arrives (irq %d): bound with the %s layout, does the board have that bridge?\n",
			 p, card->pdev->irq, card->board->name);
	}
}

static int pci5c3a_rcv_count(struct pci5c3a_card *card, RCV_COUNT *r)
{
	int p = pci5c3a_port_of(card, r->handle);

	if (p < 0)
		return p;
	pci5c3a_check_stuck(card, p);
	spin_lock_irq(&card->hw_lock);
	r->count = card->port[p].count;
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

/*
 * The port a request names, for the personality check: -1 for the card's
 * own requests (the LED, the last close) and for records that name no port
 * of this card, which the request itself refuses.
 */
static int pci5c3a_request_port(const struct pci5c3a_card *card,
				unsigned int cmd, const union pci5c3a_record *r)
{
	int p;

	switch (cmd) {
	case REQ_REG_READ:
	case REQ_REG_WRITE:
		if (r->reg.addr == PCI5C3A_LED_ADDR ||
		    r->reg.addr >= PCI5C3A_ADDR_SPACE)
			return -1;
		p = r->reg.addr / PCI5C3A_PORT_WINDOW;
		break;
	case REQ_PORT_CLOSE:
		if (r->reg.addr % PCI5C3A_PORT_WINDOW ||
		    r->reg.addr >= PCI5C3A_ADDR_SPACE)
			return -1;
		p = r->reg.addr / PCI5C3A_PORT_WINDOW;
		break;
	case REQ_SET_MODE:
		p = pci5c3a_port_of(card, r->mode.handle);
		break;
	case REQ_SEND:
	case REQ_RECEIVE:
		p = pci5c3a_port_of(card, r->msg.handle);
		break;
	case REQ_RCV_COUNT:
		p = pci5c3a_port_of(card, r->count.handle);
		break;
	case REQ_EVENT_PORT0:
		p = 0;
		break;
	case REQ_EVENT_PORT1:
		p = 1;
		break;
	default:
		return -1;
	}
	return p < card->ports ? p : -1;
}

/**
 * pci5c3a_use_port() - a request of a file names port @p
 * @f: the file
 * @p: the port, one the board has
 * @cmd: the request
 *
 * The card's mutex held. A port that is a network device refuses it; else
 * the file is one of the port's users until it closes the port or itself,
 * and while it is the port stays the character device's.
 *
 * Return: @p, or -EADDRINUSE.
 */
static int pci5c3a_use_port(struct pci5c3a_file *f, int p, unsigned int cmd)
{
	struct pci5c3a_port *port = &f->card->port[p];
	bool use = cmd != REQ_PORT_CLOSE;

	if (port->ndev)
		return -EADDRINUSE;
	if (f->used[p] != use) {
		f->used[p] = use;
		if (use)
			port->users++;
		else
			port->users--;
	}
	return p;
}

/*
 * REQ_RECEIVE: the oldest frame is copied out, and only then taken off the
 * queue, so a record that cannot be written loses nothing. The copy holds
 * the port's receive lock only (readers of one port take turns); the card's
 * mutex is not held, so a slow fault delays neither other requests nor the
 * signal work nor removal. A queue emptied meanwhile (a new first open)
 * is left as it is.
 */
static int pci5c3a_receive(struct pci5c3a_file *f, MSG_XFER *x,
			   MSG_XFER __user *uptr)
{
	struct pci5c3a_card *card = f->card;
	struct pci5c3a_port *port;
	struct pci5c3a_frame fr;
	unsigned int generation;
	int p, ret;

	mutex_lock(&card->lock);
	p = card->gone ? -ENODEV : pci5c3a_port_of(card, x->handle);
	if (p >= 0)
		p = pci5c3a_use_port(f, p, REQ_RECEIVE);
	mutex_unlock(&card->lock);
	if (p < 0)
		return p;
	port = &card->port[p];

	if (mutex_lock_killable(&port->rx_lock))
		return -EINTR;
	spin_lock_irq(&card->hw_lock);
	if (!port->count) {
		spin_unlock_irq(&card->hw_lock);
		ret = -EAGAIN;
		goto out;
	}
	fr = port->queue[port->head];
	generation = port->generation;
	spin_unlock_irq(&card->hw_lock);

	memset(&x->packet, 0, sizeof(x->packet));
	x->packet.id = fr.id;
	x->packet.rtr = fr.rtr;
	x->packet.len = fr.len;
	memcpy(x->packet.data, fr.data, sizeof(x->packet.data));
	ret = -EFAULT;
	if (copy_to_user(uptr, x, sizeof(*x)))
		goto out;

	ret = 0;
	spin_lock_irq(&card->hw_lock);
	if (port->generation == generation && port->count) {
		port->head = (port->head + 1) % PCI5C3A_QUEUE_LEN;
		port->count--;
	}
	spin_unlock_irq(&card->hw_lock);
out:
	mutex_unlock(&port->rx_lock);
	return ret;
}

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
			   union pci5c3a_record *r)
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
		if (p < 0)
			return p;
		if (r->mode.mode > PCI5C3A_ID_EXTENDED)
			return -EINVAL;
		card->port[p].extended = r->mode.mode == PCI5C3A_ID_EXTENDED;
		return 0;
	case REQ_SEND:
		return pci5c3a_send(card, &r->msg);
	case REQ_RCV_COUNT:
		return pci5c3a_rcv_count(card, &r->count);
	case REQ_EVENT_PORT0:
	case REQ_EVENT_PORT1:
		p = cmd == REQ_EVENT_PORT0 ? 0 : 1;
		if (p >= card->ports)
			return -ENXIO;
		pci5c3a_set_notify(f, p, r->flag != 0);
		return 0;
	case REQ_PORT_CLOSE:
		/* addr is the closed port's window base. */
		if (r->reg.addr % PCI5C3A_PORT_WINDOW ||
		    r->reg.addr >= PCI5C3A_ADDR_SPACE)
			return -EINVAL;
		p = r->reg.addr / PCI5C3A_PORT_WINDOW;
		if (p >= card->ports)
			return -ENXIO;
		pci5c3a_set_notify(f, p, false);
		return 0;
	case REQ_LAST_CLOSE:
		/* The library's last port is closed: data is the LED byte. */
		spin_lock_irq(&card->hw_lock);
		card->led = r->reg.data;
		spin_unlock_irq(&card->hw_lock);
		return 0;
	}
	return -ENOTTY;
}

/*
 * Order of checks: an unknown code (ENOTTY), a record that cannot be read
 * (EFAULT), a removed card (ENODEV), a port that is a network device
 * (EADDRINUSE), then the request's own. Replies are
 * copied out after the card's mutex is dropped. The records hold no
 * pointers and have one layout for 32-bit and 64-bit programs, so this
 * serves compat_ioctl as well.
 */
static long pci5c3a_ioctl(struct file *filp, unsigned int cmd,
			  unsigned long arg)
{
	struct pci5c3a_file *f = filp->private_data;
	struct pci5c3a_card *card = f->card;
	void __user *uptr = (void __user *)arg;
	size_t size = pci5c3a_record_size(cmd);
	union pci5c3a_record r;
	int p, ret;

	if (!size)
		return -ENOTTY;
	if (!uptr || copy_from_user(&r, uptr, size))
		return -EFAULT;
	if (cmd == REQ_RECEIVE)
		return pci5c3a_receive(f, &r.msg, uptr);

	mutex_lock(&card->lock);
	if (card->gone) {
		ret = -ENODEV;
	} else {
		p = pci5c3a_request_port(card, cmd, &r);
		ret = p < 0 ? 0 : pci5c3a_use_port(f, p, cmd);
		if (ret >= 0)
			ret = pci5c3a_request(f, cmd, &r);
	}
	mutex_unlock(&card->lock);
	if (!ret && (cmd == REQ_REG_READ || cmd == REQ_RCV_COUNT) &&
	    copy_to_user(uptr, &r, size))
		ret = -EFAULT;
	return ret;
}

/* ---------------------------------------------------------------------- */
/* Open and close */

static int pci5c3a_open(struct inode *inode, struct file *filp)
{
	struct pci5c3a_card *card = pci5c3a_card_get(iminor(inode));
	struct pci5c3a_file *f;
	int p, ret;

	if (!card)
		return -ENODEV;

	f = kzalloc(sizeof(*f), GFP_KERNEL);
	if (!f) {
		ret = -ENOMEM;
		goto err_put;
	}
	f->card = card;
	f->filp = filp;
	for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++)
		INIT_LIST_HEAD(&f->listen[p]);

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
		for (p = 0; p < card->ports; p++) {
			card->port[p].head = 0;
			card->port[p].count = 0;
			card->port[p].generation++;
		}
		spin_unlock_irq(&card->hw_lock);
	}
	mutex_unlock(&card->lock);

	filp->private_data = f;
	return stream_open(inode, filp);

err_free:
	kfree(f);
err_put:
	pci5c3a_card_put(card);
	return ret;
}

/* The last file closed quiets the controllers: nobody takes their frames,
 * and a line left interrupting would only cost the machine. A network
 * device's controller is its own. */
static int pci5c3a_release(struct inode *inode, struct file *filp)
{
	struct pci5c3a_file *f = filp->private_data;
	struct pci5c3a_card *card = f->card;
	int p;

	mutex_lock(&card->lock);
	for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++)
		if (f->used[p])
			card->port[p].users--;
	spin_lock_irq(&card->hw_lock);
	for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++) {
		f->notify[p] = false;
		list_del_init(&f->listen[p]);
	}
	if (--card->users == 0 && !card->gone)
		for (p = 0; p < card->ports; p++)
			if (!card->port[p].ndev)
				pci5c3a_quiet(&card->port[p]);
	spin_unlock_irq(&card->hw_lock);
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
/* sysfs: /sys/class/pci5c3a/PCI5C3AWn/{board,crystal_hz,channels,port0/,port1/} */

/**
 * struct pci5c3a_stat_attr - a per-port file: a counter or the personality
 * @attr: the device attribute
 * @port: port number
 * @counter: &enum pci5c3a_counter (counters only)
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
	val = card->port[sa->port].stats[sa->counter];
	spin_unlock_irqrestore(&card->hw_lock, flags);
	return sysfs_emit(buf, "%llu\n", val);
}

#define PCI5C3A_STAT(_port, _name, _counter)				\
	static struct pci5c3a_stat_attr pci5c3a_stat##_port##_##_name = {	\
		.attr = __ATTR(_name, 0444, pci5c3a_stat_show, NULL),	\
		.port = _port,						\
		.counter = _counter,					\
	}

static const char *const pci5c3a_personalities[] = { "chardev", "netdev" };

static ssize_t pci5c3a_personality_show(struct device *dev,
					struct device_attribute *attr,
					char *buf)
{
	struct pci5c3a_card *card = dev_get_drvdata(dev);
	struct pci5c3a_stat_attr *sa =
		container_of(attr, struct pci5c3a_stat_attr, attr);
	bool netdev;

	mutex_lock(&card->lock);
	netdev = card->port[sa->port].ndev;
	mutex_unlock(&card->lock);
	return sysfs_emit(buf, "%s\n", pci5c3a_personalities[netdev]);
}

/* "chardev" or "netdev": EBUSY while the port is in use the other way. */
static ssize_t pci5c3a_personality_store(struct device *dev,
					 struct device_attribute *attr,
					 const char *buf, size_t count)
{
	struct pci5c3a_card *card = dev_get_drvdata(dev);
	struct pci5c3a_stat_attr *sa =
		container_of(attr, struct pci5c3a_stat_attr, attr);
	int which, ret;

	which = sysfs_match_string(pci5c3a_personalities, buf);
	if (which < 0)
		return which;
	mutex_lock(&card->lock);
	ret = card->gone ? -ENODEV :
		pci5c3a_set_personality(card, sa->port, which);
	mutex_unlock(&card->lock);
	return ret ? ret : count;
}

#define PCI5C3A_PORT_STATS(_port)					\
	static struct pci5c3a_stat_attr pci5c3a_personality##_port = {	\
		.attr = __ATTR(personality, 0644, pci5c3a_personality_show, \
			       pci5c3a_personality_store),		\
		.port = _port,						\
	};								\
	PCI5C3A_STAT(_port, rx_frames, PCI5C3A_RX_FRAMES);		\
	PCI5C3A_STAT(_port, tx_frames, PCI5C3A_TX_FRAMES);		\
	PCI5C3A_STAT(_port, rx_dropped, PCI5C3A_RX_DROPPED);		\
	PCI5C3A_STAT(_port, rx_overruns, PCI5C3A_RX_OVERRUNS);		\
	PCI5C3A_STAT(_port, interrupts, PCI5C3A_INTERRUPTS);		\
	static struct attribute *pci5c3a_port##_port##_attrs[] = {	\
		&pci5c3a_personality##_port.attr.attr,			\
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

static ssize_t channels_show(struct device *dev,
			     struct device_attribute *attr, char *buf)
{
	struct pci5c3a_card *card = dev_get_drvdata(dev);

	return sysfs_emit(buf, "%d\n", card->ports);
}
static DEVICE_ATTR_RO(channels);

static struct attribute *pci5c3a_card_attrs[] = {
	&dev_attr_board.attr,
	&dev_attr_crystal_hz.attr,
	&dev_attr_channels.attr,
	NULL
};

static const struct attribute_group pci5c3a_card_group = {
	.attrs = pci5c3a_card_attrs,
};

/*
 * A one-channel board has no port1/ directory. The groups are chosen by
 * the channel count, not hidden by is_visible: before 6.11 a named group
 * whose attributes are all hidden still gets its (empty) directory.
 */
static const struct attribute_group *pci5c3a_groups[] = {
	&pci5c3a_card_group,
	&pci5c3a_port0_group,
	&pci5c3a_port1_group,
	NULL
};

static const struct attribute_group *pci5c3a_groups_one_channel[] = {
	&pci5c3a_card_group,
	&pci5c3a_port0_group,
	NULL
};

/* ---------------------------------------------------------------------- */
/* Device nodes */

/* The card is published (open finds it) before its node appears, so an
 * open that the node's uevent triggers succeeds. */
int pci5c3a_chardev_add(struct pci5c3a_card *card)
{
	card->dev = device_create_with_groups(pci5c3a_class, &card->pdev->dev,
					      MKDEV(MAJOR(pci5c3a_devt),
						    card->index),
					      card, card->ports == 1 ?
					      pci5c3a_groups_one_channel :
					      pci5c3a_groups,
					      "PCI5C3AW%d", card->index);
	if (IS_ERR(card->dev))
		return PTR_ERR(card->dev);
	return 0;
}

void pci5c3a_chardev_remove(struct pci5c3a_card *card)
{
	device_destroy(pci5c3a_class, MKDEV(MAJOR(pci5c3a_devt), card->index));
}

int pci5c3a_chardev_init(void)
{
	int ret;

	ret = alloc_chrdev_region(&pci5c3a_devt, 0, PCI5C3A_MAX_CARDS,
				  DRV_NAME);
	if (ret)
		return ret;
	cdev_init(&pci5c3a_cdev, &pci5c3a_fops);
	pci5c3a_cdev.owner = THIS_MODULE;
	ret = cdev_add(&pci5c3a_cdev, pci5c3a_devt, PCI5C3A_MAX_CARDS);
	if (ret)
		goto err_region;

	pci5c3a_class = pci5c3a_class_create(DRV_NAME);
	if (IS_ERR(pci5c3a_class)) {
		ret = PTR_ERR(pci5c3a_class);
		goto err_cdev;
	}
	return 0;

err_cdev:
	cdev_del(&pci5c3a_cdev);
err_region:
	unregister_chrdev_region(pci5c3a_devt, PCI5C3A_MAX_CARDS);
	return ret;
}

void pci5c3a_chardev_exit(void)
{
	class_destroy(pci5c3a_class);
	cdev_del(&pci5c3a_cdev);
	unregister_chrdev_region(pci5c3a_devt, PCI5C3A_MAX_CARDS);
}
