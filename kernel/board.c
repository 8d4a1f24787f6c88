// SPDX-License-Identifier: GPL-2.0-only OR MIT
/*
 * board.c - the boards the 5C3A card's driver reaches: their layouts and
 * bridges, the ids= parameter, the interrupt handler, probe, remove and
 * shutdown, and the module's start.
 *
 * The card carries two SJA1000 controllers in PeliCAN mode. User space
 * (libpci_5C3A) drives them through one character device per card,
 * /dev/PCI5C3AW0..3, with the ioctl requests of pci_5C3A_ioctl.h; a port
 * may instead be a SocketCAN network device (netdev.c).
 *
 * Its PCI ids are not known, and almost every SJA1000 PCI board sits
 * behind a PCI bridge (PLX 90xx, AMCC S5920) that keeps the controllers in
 * a BAR of their own and gates their interrupt: a card binds through ids=
 * or new_id with the layout that matches it (pci5c3a-find-layout finds it).
 */

#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/delay.h>
#include <linux/idr.h>
#include <linux/interrupt.h>
#include <linux/io.h>
#include <linux/module.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "pci5c3a.h"

/* Passes of the interrupt handler over both channels before it gives up
 * on a line that does not go quiet. */
#define PCI5C3A_MAX_PASSES 16

/* ---------------------------------------------------------------------- */
/* Bridges: 32-bit registers in the configuration BAR */

/* PLX 9030, 9050, 9052 */
#define PLX_INTCSR		0x4c	/* interrupt control and status */
#define PLX_LINT1_EN		BIT(0)	/* local interrupt 1 enable */
#define PLX_LINT1_POL		BIT(1)	/* local interrupt 1 active high */
#define PLX_LINT2_EN		BIT(3)
#define PLX_LINT2_POL		BIT(4)
#define PLX_PCI_INT_EN		BIT(6)	/* PCI interrupt enable */
#define PLX_CNTRL		0x50	/* user I/O, reset, EEPROM control */
#define PLX_CNTRL_RESET		BIT(30)	/* local bus reset while set */

/* PLX 9056, PEX 8311 */
#define PLX9056_INTCSR		0x68
#define PLX9056_PCI_INT_EN	BIT(8)
#define PLX9056_LINTI_EN	BIT(11)	/* local interrupt input enable */
#define PLX9056_CNTRL		0x6c
#define PLX9056_CNTRL_RELOAD	BIT(29)	/* reload configuration from EEPROM */

/* AMCC S5920 */
#define S5920_INTCSR		0x38
#define S5920_INT_ADDON_EN	BIT(13)	/* add-on (local) interrupt enable */
#define S5920_PTCR		0x60	/* pass-thru configuration */
#define S5920_PTCR_BOARD	0x80808080 /* wait states of the add-on bus */

static u32 pci5c3a_conf_read(const struct pci5c3a_card *card, unsigned int reg)
{
	return ioread32(card->conf + reg);
}

static void pci5c3a_conf_write(const struct pci5c3a_card *card,
			       unsigned int reg, u32 val)
{
	iowrite32(val, card->conf + reg);
}

/* A local bus reset: the controllers start from their hardware reset. */
static void pci5c3a_plx_pulse(struct pci5c3a_card *card, unsigned int cntrl)
{
	u32 val = pci5c3a_conf_read(card, cntrl);

	pci5c3a_conf_write(card, cntrl, val | PLX_CNTRL_RESET);
	udelay(100);
	pci5c3a_conf_write(card, cntrl, val & ~PLX_CNTRL_RESET);
}

static void pci5c3a_plx_reset(struct pci5c3a_card *card)
{
	pci5c3a_plx_pulse(card, PLX_CNTRL);
}

/* The controllers' INT# reaches the bridge on LINT1, active high as the
 * boards invert it; the bridge passes it to INTA. */
static void pci5c3a_plx_enable(struct pci5c3a_card *card)
{
	pci5c3a_conf_write(card, PLX_INTCSR,
			   PLX_LINT1_EN | PLX_LINT1_POL | PLX_PCI_INT_EN);
}

static void pci5c3a_plx_disable(struct pci5c3a_card *card)
{
	pci5c3a_conf_write(card, PLX_INTCSR, 0);
}

/* The 9056's local bus reset also drops its local configuration, which
 * the EEPROM then reloads; the chip shows no end of it, 10 ms is ample. */
static void pci5c3a_plx9056_reset(struct pci5c3a_card *card)
{
	u32 val;

	pci5c3a_plx_pulse(card, PLX9056_CNTRL);
	val = pci5c3a_conf_read(card, PLX9056_CNTRL);
	pci5c3a_conf_write(card, PLX9056_CNTRL, val | PLX9056_CNTRL_RELOAD);
	msleep(10);
	pci5c3a_conf_write(card, PLX9056_CNTRL, val & ~PLX9056_CNTRL_RELOAD);
}

static void pci5c3a_plx9056_enable(struct pci5c3a_card *card)
{
	u32 val = pci5c3a_conf_read(card, PLX9056_INTCSR);

	pci5c3a_conf_write(card, PLX9056_INTCSR,
			   val | PLX9056_PCI_INT_EN | PLX9056_LINTI_EN);
}

static void pci5c3a_plx9056_disable(struct pci5c3a_card *card)
{
	u32 val = pci5c3a_conf_read(card, PLX9056_INTCSR);

	pci5c3a_conf_write(card, PLX9056_INTCSR,
			   val & ~(PLX9056_PCI_INT_EN | PLX9056_LINTI_EN));
}

/* The S5920 has no local reset; its add-on bus needs its timing set. */
static void pci5c3a_s5920_reset(struct pci5c3a_card *card)
{
	pci5c3a_conf_write(card, S5920_PTCR, S5920_PTCR_BOARD);
}

static void pci5c3a_s5920_enable(struct pci5c3a_card *card)
{
	u32 val = pci5c3a_conf_read(card, S5920_INTCSR);

	pci5c3a_conf_write(card, S5920_INTCSR, val | S5920_INT_ADDON_EN);
}

static void pci5c3a_s5920_disable(struct pci5c3a_card *card)
{
	u32 val = pci5c3a_conf_read(card, S5920_INTCSR);

	pci5c3a_conf_write(card, S5920_INTCSR, val & ~S5920_INT_ADDON_EN);
}

static const struct pci5c3a_bridge pci5c3a_plx9030 = {
	.name = "PLX 9030/9050/9052",
	.conf_len = PLX_CNTRL + 4,
	.reset = pci5c3a_plx_reset,
	.enable_irq = pci5c3a_plx_enable,
	.disable_irq = pci5c3a_plx_disable,
};

static const struct pci5c3a_bridge pci5c3a_plx9056 = {
	.name = "PLX 9056/PEX 8311",
	.conf_len = PLX9056_CNTRL + 4,
	.reset = pci5c3a_plx9056_reset,
	.enable_irq = pci5c3a_plx9056_enable,
	.disable_irq = pci5c3a_plx9056_disable,
};

static const struct pci5c3a_bridge pci5c3a_s5920 = {
	.name = "AMCC S5920",
	.conf_len = S5920_PTCR + 4,
	.reset = pci5c3a_s5920_reset,
	.enable_irq = pci5c3a_s5920_enable,
	.disable_irq = pci5c3a_s5920_disable,
};

/* ---------------------------------------------------------------------- */
/* Layouts */

enum pci5c3a_board_id {
	PCI5C3A_PCM3680_PCI,
	PCI5C3A_MIOE3680_PCI,
	PCI5C3A_PLX9030_80,
	PCI5C3A_PLX9030_100,
	PCI5C3A_PLX9030_200,
	PCI5C3A_PLX9056_80,
	PCI5C3A_PLX9056_100,
	PCI5C3A_PLX9056_200,
	PCI5C3A_S5920,
	PCI5C3A_BOARDS
};

/* The direct-decode boards: what the library's writes select (CLKOUT off,
 * TX1 the complement of TX0), so nothing changes under it. */
#define PCI5C3A_DIRECT(_name, _shift) {					\
	.name = _name,							\
	.chan = {							\
		{ .bar = 0, .offset = 0, .shift = _shift },		\
		{ .bar = 1, .offset = 0, .shift = _shift },		\
	},								\
	.channels = 2,							\
	.crystal_hz = 16000000,						\
	.ocr = OCR_CARD,						\
	.cdr_clock = CDR_CLK_OFF,					\
}

/* Bridged boards: controllers in one BAR at a fixed spacing, the second
 * clocked from the first one's CLKOUT (at the crystal's frequency), both
 * outputs push-pull in normal mode. */
#define PCI5C3A_BRIDGED(_name, _bridge, _bar, _spacing) {		\
	.name = _name,							\
	.bridge = &(_bridge),						\
	.conf_bar = 0,							\
	.chan = {							\
		{ .bar = _bar, .offset = 0 },				\
		{ .bar = _bar, .offset = _spacing },			\
	},								\
	.channels = 2,							\
	.counted = true,						\
	.crystal_hz = 16000000,						\
	.ocr = OCR_MODE_NORMAL | OCR_TX0_PUSHPULL | OCR_TX1_PUSHPULL,	\
	.cdr_clock = CDR_CLKOUT_MASK,					\
}

static const struct pci5c3a_board pci5c3a_boards[PCI5C3A_BOARDS] = {
	[PCI5C3A_PCM3680_PCI] = PCI5C3A_DIRECT("pcm3680_pci", 0),
	[PCI5C3A_MIOE3680_PCI] = PCI5C3A_DIRECT("mioe3680_pci", 2),
	[PCI5C3A_PLX9030_80] =
		PCI5C3A_BRIDGED("plx9030_80", pci5c3a_plx9030, 2, 0x80),
	[PCI5C3A_PLX9030_100] =
		PCI5C3A_BRIDGED("plx9030_100", pci5c3a_plx9030, 2, 0x100),
	[PCI5C3A_PLX9030_200] =
		PCI5C3A_BRIDGED("plx9030_200", pci5c3a_plx9030, 2, 0x200),
	[PCI5C3A_PLX9056_80] =
		PCI5C3A_BRIDGED("plx9056_80", pci5c3a_plx9056, 2, 0x80),
	[PCI5C3A_PLX9056_100] =
		PCI5C3A_BRIDGED("plx9056_100", pci5c3a_plx9056, 2, 0x100),
	[PCI5C3A_PLX9056_200] =
		PCI5C3A_BRIDGED("plx9056_200", pci5c3a_plx9056, 2, 0x200),
	[PCI5C3A_S5920] = PCI5C3A_BRIDGED("s5920", pci5c3a_s5920, 1, 0x20),
};

/* A layout that no built-in id uses: an entry that matches no device
 * (vendor 0xffff is nobody's) but lets new_id name its index. */
#define PCI5C3A_LAYOUT_ONLY(_board) \
	{ PCI_DEVICE(0xffff, 0xffff), .driver_data = (_board) }

/*
 * driver_data is the layout's index; new_id accepts only values found in
 * this table, so every layout has an entry. No MODULE_DEVICE_TABLE: the
 * built-in ids are those of other makers' boards, which this driver must
 * not claim just because it is installed.
 */
static const struct pci_device_id pci5c3a_ids[] = {
	{ PCI_DEVICE(0x13fe, 0xc002), .driver_data = PCI5C3A_PCM3680_PCI },
	{ PCI_DEVICE(0x13fe, 0xc302), .driver_data = PCI5C3A_MIOE3680_PCI },
	PCI5C3A_LAYOUT_ONLY(PCI5C3A_PLX9030_80),
	PCI5C3A_LAYOUT_ONLY(PCI5C3A_PLX9030_100),
	PCI5C3A_LAYOUT_ONLY(PCI5C3A_PLX9030_200),
	PCI5C3A_LAYOUT_ONLY(PCI5C3A_PLX9056_80),
	PCI5C3A_LAYOUT_ONLY(PCI5C3A_PLX9056_100),
	PCI5C3A_LAYOUT_ONLY(PCI5C3A_PLX9056_200),
	PCI5C3A_LAYOUT_ONLY(PCI5C3A_S5920),
	{ }
};

/*
 * The PLX bridges' own ids: many makers' boards carry them, CAN or not,
 * and differ only in their subsystem ids. Bound by these alone the driver
 * would write to whatever board of any kind has that bridge.
 */
static bool pci5c3a_generic_bridge_id(unsigned int vendor, unsigned int device)
{
	static const u16 plx[] = { 0x9030, 0x9050, 0x9052, 0x9056, 0x8311 };
	int i;

	if (vendor != PCI_VENDOR_ID_PLX)
		return false;
	for (i = 0; i < ARRAY_SIZE(plx); i++)
		if (device == plx[i])
			return true;
	return false;
}

/* ---------------------------------------------------------------------- */
/* Cards by number; a number stays taken until its card is fully removed. */

static DEFINE_MUTEX(pci5c3a_cards_lock);
static struct pci5c3a_card *pci5c3a_cards[PCI5C3A_MAX_CARDS];
static DEFINE_IDA(pci5c3a_numbers);

static void pci5c3a_card_release(struct kref *ref)
{
	struct pci5c3a_card *card = container_of(ref, struct pci5c3a_card, ref);
	int p;

	for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++)
		mutex_destroy(&card->port[p].rx_lock);
	mutex_destroy(&card->lock);
	kvfree(card);
}

void pci5c3a_card_put(struct pci5c3a_card *card)
{
	kref_put(&card->ref, pci5c3a_card_release);
}

/* The card of a device node, a reference taken; NULL when none is bound. */
struct pci5c3a_card *pci5c3a_card_get(unsigned int index)
{
	struct pci5c3a_card *card = NULL;

	mutex_lock(&pci5c3a_cards_lock);
	if (index < PCI5C3A_MAX_CARDS)
		card = pci5c3a_cards[index];
	if (card)
		kref_get(&card->ref);
	mutex_unlock(&pci5c3a_cards_lock);
	return card;
}

static void pci5c3a_publish(struct pci5c3a_card *card, bool on)
{
	mutex_lock(&pci5c3a_cards_lock);
	pci5c3a_cards[card->index] = on ? card : NULL;
	mutex_unlock(&pci5c3a_cards_lock);
}

/* ---------------------------------------------------------------------- */
/* Interrupts */

/**
 * pci5c3a_irq() - the card's interrupt handler
 * @irq: the interrupt line, shared
 * @dev_id: the card
 *
 * Both channels drive one line. On QEMU's direct-decode boards the line
 * keeps a single state that the channel updated last decides, so reading
 * one channel's interrupt register can drop the line while the other
 * channel still has work: the handler reads both until a pass finds both
 * quiet.
 *
 * Return: IRQ_HANDLED when a channel had an interrupt pending, IRQ_NONE
 * when none did (another device's interrupt on the shared line, or a board
 * that has gone).
 */
static irqreturn_t pci5c3a_irq(int irq, void *dev_id)
{
	struct pci5c3a_card *card = dev_id;
	const struct pci5c3a_bridge *bridge = card->board->bridge;
	bool live[PCI5C3A_PORTS_PER_CARD];
	bool signal = false;
	int pass, p, busy, handled = 0;

	spin_lock(&card->hw_lock);
	for (p = 0; p < card->ports; p++)
		live[p] = pci5c3a_irq_enabled(&card->port[p]);
	for (pass = 0; pass < PCI5C3A_MAX_PASSES; pass++) {
		busy = 0;
		for (p = 0; p < card->ports; p++)
			if (live[p])
				busy |= pci5c3a_service(card, p, &signal);
		if (!busy)
			break;
		handled = 1;
	}
	if (handled) {
		card->irqs++;
		if (bridge && bridge->ack_irq)
			bridge->ack_irq(card);
	}
	spin_unlock(&card->hw_lock);

	if (signal)
		schedule_work(&card->signal_work);
	return IRQ_RETVAL(handled);
}

/* Controllers quiet, then the bridge's gate closed. */
static void pci5c3a_hw_quiet(struct pci5c3a_card *card)
{
	const struct pci5c3a_bridge *bridge = card->board->bridge;
	unsigned long flags;
	int p;

	spin_lock_irqsave(&card->hw_lock, flags);
	for (p = 0; p < card->ports; p++)
		if (!card->port[p].absent)
			pci5c3a_quiet(&card->port[p]);
	if (bridge)
		bridge->disable_irq(card);
	spin_unlock_irqrestore(&card->hw_lock, flags);
}

/* ---------------------------------------------------------------------- */
/* Probe and remove */

static void __iomem *pci5c3a_map(struct pci5c3a_card *card, unsigned int bar,
				 unsigned int offset, unsigned int span,
				 const char *what)
{
	struct pci_dev *pdev = card->pdev;

	if (bar >= PCI_STD_NUM_BARS ||
	    pci_resource_len(pdev, bar) < offset + span) {
		dev_err(&pdev->dev,
			"BAR%u too small for the %s layout's %s (%u bytes at 0x%x)\n",
			bar, card->board->name, what, span, offset);
		return NULL;
	}
	if (!card->bars[bar]) {
		card->bars[bar] = pci_iomap(pdev, bar, 0);
		if (!card->bars[bar]) {
			dev_err(&pdev->dev, "cannot map BAR%u\n", bar);
			return NULL;
		}
	}
	return card->bars[bar] + offset;
}

static void pci5c3a_unmap(struct pci5c3a_card *card)
{
	int bar;

	for (bar = 0; bar < PCI_STD_NUM_BARS; bar++)
		if (card->bars[bar])
			pci_iounmap(card->pdev, card->bars[bar]);
}

/*
 * The bridge reset first (the controllers then start from their hardware
 * reset values), its interrupt gate closed; then each channel: a channel
 * that does not answer ends a counted layout's channels, and fails the
 * probe for the first channel or a fixed layout.
 */
static int pci5c3a_find_channels(struct pci5c3a_card *card)
{
	const struct pci5c3a_board *board = card->board;
	struct device *dev = &card->pdev->dev;
	struct pci5c3a_port *port;
	const struct pci5c3a_window *w;
	u8 seen[6];
	int p;

	if (board->bridge) {
		card->conf = pci5c3a_map(card, board->conf_bar, 0,
					 board->bridge->conf_len,
					 "bridge registers");
		if (!card->conf)
			return -ENOMEM;
		board->bridge->disable_irq(card);
		board->bridge->reset(card);
	}

	for (p = 0; p < board->channels; p++) {
		port = &card->port[p];
		w = &board->chan[p];
		if (board->counted && p > 0 &&
		    pci_resource_len(card->pdev, w->bar) <
			w->offset + (SJA1000_COUNT << w->shift))
			break;
		port->shift = w->shift;
		port->regs = pci5c3a_map(card, w->bar, w->offset,
					 SJA1000_COUNT << w->shift,
					 "controller");
		if (!port->regs)
			return -ENOMEM;
		if (!pci5c3a_detect(port, seen)) {
			if (board->counted && p > 0)
				break;
			dev_err(dev,
				"no controller answers on port %d (BAR%u+0x%x read %*ph, an SJA1000 in reset mode %02x %02x %02x %02x %02x %02x): is it a board of the %s layout? (pci5c3a-find-layout)\n",
				p, w->bar, w->offset, 6, seen,
				BASICCAN_CR_RESET, BASICCAN_SR_RESET,
				BASICCAN_IR_RESET, PELICAN_MOD_RESET,
				PELICAN_SR_RESET, PELICAN_IR_RESET,
				board->name);
			return -ENODEV;
		}
		pci5c3a_chip_init(port, board);
	}
	card->ports = p;
	return 0;
}

static int pci5c3a_probe(struct pci_dev *pdev, const struct pci_device_id *id)
{
	const struct pci5c3a_board *board;
	struct pci5c3a_card *card;
	int p, ret;

	if (id->driver_data >= ARRAY_SIZE(pci5c3a_boards)) {
		dev_err(&pdev->dev, "no board layout %lu\n", id->driver_data);
		return -EINVAL;
	}
	board = &pci5c3a_boards[id->driver_data];
	if (pci5c3a_generic_bridge_id(id->vendor, id->device) &&
	    (id->subvendor == PCI_ANY_ID || id->subdevice == PCI_ANY_ID)) {
		dev_err(&pdev->dev,
			"%04x:%04x is the PLX bridge's own id, which boards of every kind carry: bind with its subsystem ids too (%04x %04x %04x %04x)\n",
			id->vendor, id->device, pdev->vendor, pdev->device,
			pdev->subsystem_vendor, pdev->subsystem_device);
		return -EINVAL;
	}

	card = kvzalloc(sizeof(*card), GFP_KERNEL);
	if (!card)
		return -ENOMEM;
	kref_init(&card->ref);
	mutex_init(&card->lock);
	spin_lock_init(&card->hw_lock);
	INIT_WORK(&card->signal_work, pci5c3a_signal_work);
	for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++) {
		mutex_init(&card->port[p].rx_lock);
		INIT_LIST_HEAD(&card->port[p].listeners);
	}
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

	ret = pci5c3a_find_channels(card);
	if (ret)
		goto err_unmap;

	ret = ida_alloc_max(&pci5c3a_numbers, PCI5C3A_MAX_CARDS - 1, GFP_KERNEL);
	if (ret < 0) {
		dev_err(&pdev->dev, "%d cards are bound already\n",
			PCI5C3A_MAX_CARDS);
		goto err_unmap;
	}
	card->index = ret;

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
	if (board->bridge)
		board->bridge->enable_irq(card);

	pci_set_drvdata(pdev, card);
	pci5c3a_publish(card, true);
	ret = pci5c3a_chardev_add(card);
	if (ret) {
		dev_err(&pdev->dev, "cannot create PCI5C3AW%d: %d\n",
			card->index, ret);
		goto err_publish;
	}
	pci5c3a_net_probe(card);

	dev_info(&pdev->dev,
		 "%s layout%s%s, %d channel%s, card %d: /dev/PCI5C3AW%d, irq %d\n",
		 board->name, board->bridge ? ", bridge " : "",
		 board->bridge ? board->bridge->name : "", card->ports,
		 card->ports == 1 ? "" : "s", card->index, card->index,
		 pdev->irq);
	return 0;

err_publish:
	pci5c3a_publish(card, false);
	mutex_lock(&card->lock);
	card->gone = true;
	mutex_unlock(&card->lock);
	pci5c3a_hw_quiet(card);
	free_irq(pdev->irq, card);
	cancel_work_sync(&card->signal_work);
err_number:
	ida_free(&pci5c3a_numbers, card->index);
err_unmap:
	if (card->conf)
		board->bridge->disable_irq(card);
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

	pci5c3a_publish(card, false);
	mutex_lock(&card->lock);
	card->gone = true;
	pci5c3a_net_remove(card);
	mutex_unlock(&card->lock);

	pci5c3a_hw_quiet(card);
	free_irq(pdev->irq, card);
	cancel_work_sync(&card->signal_work);

	pci5c3a_chardev_remove(card);
	ida_free(&pci5c3a_numbers, card->index);
	pci5c3a_unmap(card);
	pci_release_regions(pdev);
	pci_disable_device(pdev);
	dev_info(&pdev->dev, "card %d removed\n", card->index);
	pci5c3a_card_put(card);
}

/* Reboot, kexec: the next kernel must not find the line interrupting. */
static void pci5c3a_shutdown(struct pci_dev *pdev)
{
	struct pci5c3a_card *card = pci_get_drvdata(pdev);

	if (card)
		pci5c3a_hw_quiet(card);
}

static struct pci_driver pci5c3a_driver = {
	.name = DRV_NAME,
	.id_table = pci5c3a_ids,
	.probe = pci5c3a_probe,
	.remove = pci5c3a_remove,
	.shutdown = pci5c3a_shutdown,
};

/* ---------------------------------------------------------------------- */
/* Module parameters and init */

static char *ids;
module_param(ids, charp, 0444);
MODULE_PARM_DESC(ids,
		 "PCI ids to bind, VVVV:DDDD[:SSSS:ssss][:layout],... in hex; layout pcm3680_pci (the default), mioe3680_pci, plx9030_80, plx9030_100, plx9030_200, plx9056_80, plx9056_100, plx9056_200 or s5920; the PLX bridges' own ids need subsystem ids");

static int pci5c3a_board_by_name(const char *name)
{
	int i;

	for (i = 0; i < ARRAY_SIZE(pci5c3a_boards); i++)
		if (!strcmp(name, pci5c3a_boards[i].name))
			return i;
	return -EINVAL;
}

static int pci5c3a_hex16(const char *s, unsigned int *v)
{
	return s && !kstrtouint(s, 16, v) && *v <= 0xffff ? 0 : -EINVAL;
}

/*
 * One entry of ids=: VVVV:DDDD, then optionally SSSS:ssss, then optionally
 * a layout name; added only when *@add. Fields are counted: two or four
 * hex ids, and a last field that is not a hex id is the layout.
 */
static int pci5c3a_parse_id(char *entry, int n, void *add)
{
	char *field[5];
	unsigned int v, d, sv = PCI_ANY_ID, sd = PCI_ANY_ID;
	int nf = 0, board = PCI5C3A_PCM3680_PCI;

	while (entry && nf < ARRAY_SIZE(field))
		field[nf++] = strsep(&entry, ":");
	if (entry || nf < 2)
		goto bad;
	if (nf == 3 || nf == 5) {
		board = pci5c3a_board_by_name(field[--nf]);
		if (board < 0) {
			pr_err("ids=: entry %d: no layout %s\n", n, field[nf]);
			return board;
		}
	}
	if (pci5c3a_hex16(field[0], &v) || pci5c3a_hex16(field[1], &d))
		goto bad;
	if (nf == 4 && (pci5c3a_hex16(field[2], &sv) ||
			pci5c3a_hex16(field[3], &sd)))
		goto bad;
	if (nf == 2 && pci5c3a_generic_bridge_id(v, d)) {
		pr_err("ids=: entry %d: %04x:%04x is the PLX bridge's own id, which many makers' boards carry, CAN or not: give the board's subsystem ids too (VVVV:DDDD:SSSS:ssss:layout; lspci -nv shows them)\n",
		       n, v, d);
		return -EINVAL;
	}
	if (!*(bool *)add)
		return 0;
	return pci_add_dynid(&pci5c3a_driver, v, d, sv, sd, 0, 0, board);

bad:
	pr_err("ids=: entry %d is not VVVV:DDDD[:SSSS:ssss][:layout] (hex ids)\n",
	       n);
	return -EINVAL;
}

/**
 * pci5c3a_parse_list() - each entry of a comma-separated module parameter
 * @name: the parameter, for the message
 * @value: its value, or NULL
 * @parse: called with each non-empty entry (a copy it may cut up), its
 *	number from 1, and @arg
 * @arg: for @parse
 *
 * Return: 0, or the negative errno of the first entry that fails, which
 * ends the walk.
 */
int pci5c3a_parse_list(const char *name, const char *value,
		       int (*parse)(char *entry, int n, void *arg), void *arg)
{
	char *list, *rest, *entry;
	int n = 0, ret = 0;

	if (!value || !*value)
		return 0;
	list = kstrdup(value, GFP_KERNEL);
	if (!list)
		return -ENOMEM;
	rest = list;
	while ((entry = strsep(&rest, ",")) != NULL) {
		n++;
		if (!*entry)
			continue;
		ret = parse(entry, n, arg);
		if (ret) {
			pr_err("%s=%s refused: %d\n", name, value, ret);
			break;
		}
	}
	kfree(list);
	return ret;
}

/*
 * ids=, checked (@add false) or added as dynamic ids: the module checks
 * the whole list before it registers the driver, so a malformed list binds
 * nothing, then adds the ids after registering.
 */
static int pci5c3a_parse_ids(bool add)
{
	return pci5c3a_parse_list("ids", ids, pci5c3a_parse_id, &add);
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
	BUILD_BUG_ON(PCI5C3A_LED_ADDR % PCI5C3A_PORT_WINDOW < SJA1000_COUNT);
	BUILD_BUG_ON(ARRAY_SIZE(pci5c3a_ids) != PCI5C3A_BOARDS + 1);
}

static int __init pci5c3a_init(void)
{
	int ret;

	pci5c3a_check_abi();
	ret = pci5c3a_parse_ids(false);
	if (ret)
		return ret;
	ret = pci5c3a_net_parse();
	if (ret)
		return ret;
	ret = pci5c3a_chardev_init();
	if (ret)
		return ret;
	ret = pci_register_driver(&pci5c3a_driver);
	if (ret)
		goto err_chardev;
	ret = pci5c3a_parse_ids(true);
	if (ret)
		goto err_driver;
	return 0;

err_driver:
	pci_unregister_driver(&pci5c3a_driver);
err_chardev:
	pci5c3a_chardev_exit();
	return ret;
}
module_init(pci5c3a_init);

static void __exit pci5c3a_exit(void)
{
	pci_unregister_driver(&pci5c3a_driver);
	pci5c3a_chardev_exit();
	ida_destroy(&pci5c3a_numbers);
}
module_exit(pci5c3a_exit);

MODULE_DESCRIPTION("5C3A two-port SJA1000 CAN PCI card: character devices PCI5C3AW0..3, SocketCAN network devices");
MODULE_LICENSE("Dual MIT/GPL");
