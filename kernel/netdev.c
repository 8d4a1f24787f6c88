// SPDX-License-Identifier: GPL-2.0-only OR MIT
/*
 * netdev.c - a port as a SocketCAN network device: the other personality
 * of a port, beside the library's character device.
 *
 * A port is one or the other. As a network device it belongs to Linux's
 * CAN device framework (can-dev): bit timing from `ip link`, restart after
 * bus-off, error frames, echo of sent frames, statistics. The controller is
 * the same SJA1000 that chip.c drives for the character device, and the
 * card's one interrupt handler (board.c) hands this port's interrupts here.
 *
 * Locking: the registers and the port's net device pointer are under the
 * card's hw_lock, as for the character device; switching personality holds
 * the card's mutex, then RTNL (registering and unregistering take it).
 * Nothing here under RTNL takes the card's mutex.
 */

#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/can/dev.h>
#include <linux/delay.h>
#include <linux/ethtool.h>
#include <linux/module.h>
#include <linux/netdevice.h>
#include <linux/rtnetlink.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "errframe.h"
#include "pci5c3a.h"

/* Releases of the receive buffer per interrupt pass: the 64-byte FIFO holds
 * at most 21 frames, so this never leaves one behind. */
#define PCI5C3A_NET_MAX_RX 64
/* Tries, 10 us apart, for the controller to leave reset mode. */
#define PCI5C3A_NET_MODE_TRIES 100

/**
 * struct pci5c3a_net - a port's network device
 * @can: the CAN device framework's part; must be first
 * @card: the card
 * @p: the port's number
 */
struct pci5c3a_net {
	struct can_priv can;
	struct pci5c3a_card *card;
	int p;
};

/* The SJA1000's bus timing fields: BTR0 BRP.5-0 and SJW.1-0, BTR1 TSEG1.3-0
 * and TSEG2.2-0, each one less than its value. */
static const struct can_bittiming_const pci5c3a_bittiming_const = {
	.name = DRV_NAME,
	.tseg1_min = 1,
	.tseg1_max = 16,
	.tseg2_min = 1,
	.tseg2_max = 8,
	.sjw_max = 4,
	.brp_min = 1,
	.brp_max = 64,
	.brp_inc = 1,
};

static struct pci5c3a_port *pci5c3a_net_port(const struct pci5c3a_net *priv)
{
	return &priv->card->port[priv->p];
}

/* BTR0/BTR1 of the framework's bit timing; the chip in reset mode. */
static void pci5c3a_net_write_btr(struct pci5c3a_net *priv)
{
	const struct can_bittiming *bt = &priv->can.bittiming;
	struct pci5c3a_port *port = pci5c3a_net_port(priv);
	u8 btr0, btr1;

	btr0 = ((bt->brp - 1) & BTR0_BRP_MASK) |
	       (((bt->sjw - 1) << BTR0_SJW_SHIFT) & BTR0_SJW_MASK);
	btr1 = ((bt->prop_seg + bt->phase_seg1 - 1) & BTR1_TSEG1_MASK) |
	       (((bt->phase_seg2 - 1) << BTR1_TSEG2_SHIFT) & BTR1_TSEG2_MASK);
	if (priv->can.ctrlmode & CAN_CTRLMODE_3_SAMPLES)
		btr1 |= BTR1_SAM;
	pci5c3a_write(port, SJA1000_BTR0, btr0);
	pci5c3a_write(port, SJA1000_BTR1, btr1);
}

/*
 * Called by the framework only while the interface is down, when the port
 * sits in reset mode: the registers take the new timing at once, and the
 * start writes it again.
 */
static int pci5c3a_net_set_bittiming(struct net_device *dev)
{
	struct pci5c3a_net *priv = netdev_priv(dev);
	unsigned long flags;

	spin_lock_irqsave(&priv->card->hw_lock, flags);
	pci5c3a_net_write_btr(priv);
	spin_unlock_irqrestore(&priv->card->hw_lock, flags);
	netdev_dbg(dev, "bit timing BTR0 0x%02x BTR1 0x%02x\n",
		   pci5c3a_read(pci5c3a_net_port(priv), SJA1000_BTR0),
		   pci5c3a_read(pci5c3a_net_port(priv), SJA1000_BTR1));
	return 0;
}

/*
 * The controller from reset mode onto the bus, the card's hw_lock held:
 * the board's clock and output stage, every frame accepted, the control
 * modes, the bit timing, the counters cleared and the captures re-armed,
 * the interrupts, then operating mode.
 */
static int pci5c3a_net_start(struct pci5c3a_net *priv)
{
	struct pci5c3a_port *port = pci5c3a_net_port(priv);
	const struct pci5c3a_board *board = priv->card->board;
	u32 ctrl = priv->can.ctrlmode;
	u8 mod = MOD_AFM, ier;
	unsigned int reg;
	int i;

	if (port->absent)
		return -ENODEV;
	if (pci5c3a_set_reset_mode(port))
		return -ETIMEDOUT;

	pci5c3a_write(port, SJA1000_CDR,
		      pci5c3a_board_cdr(board, CDR_PELICAN | CDR_CBP));
	pci5c3a_write(port, SJA1000_OCR, board->ocr);
	for (reg = SJA1000_ACR0; reg <= SJA1000_ACR3; reg++)
		pci5c3a_write(port, reg, 0);
	for (reg = SJA1000_AMR0; reg <= SJA1000_AMR3; reg++)
		pci5c3a_write(port, reg, 0xff);
	pci5c3a_net_write_btr(priv);
	pci5c3a_write(port, SJA1000_EWLR, EWLR_POWER_UP);
	pci5c3a_write(port, SJA1000_TXERR, 0);
	pci5c3a_write(port, SJA1000_RXERR, 0);
	pci5c3a_read(port, SJA1000_ECC);
	pci5c3a_read(port, SJA1000_ALC);
	pci5c3a_read(port, SJA1000_IR);

	if (ctrl & CAN_CTRLMODE_LISTENONLY)
		mod |= MOD_LOM;
	/* Self test mode: a frame needs no acknowledge. */
	if (ctrl & (CAN_CTRLMODE_LOOPBACK | CAN_CTRLMODE_PRESUME_ACK))
		mod |= MOD_STM;
	ier = IRQ_RI | IRQ_TI | IRQ_EI | IRQ_DOI | IRQ_EPI | IRQ_ALI;
	if (ctrl & CAN_CTRLMODE_BERR_REPORTING)
		ier |= IRQ_BEI;

	pci5c3a_write(port, SJA1000_MOD, mod | MOD_RM);
	pci5c3a_write(port, SJA1000_IER, ier);
	/* Leaving reset mode waits for 11 recessive bits on the bus. */
	for (i = 0; i < PCI5C3A_NET_MODE_TRIES; i++) {
		pci5c3a_write(port, SJA1000_MOD, mod);
		if (!(pci5c3a_read(port, SJA1000_MOD) & MOD_RM)) {
			priv->can.state = CAN_STATE_ERROR_ACTIVE;
			return 0;
		}
		udelay(10);
	}
	pci5c3a_set_reset_mode(port);
	return -ETIMEDOUT;
}

static int pci5c3a_net_open(struct net_device *dev)
{
	struct pci5c3a_net *priv = netdev_priv(dev);
	unsigned long flags;
	int ret;

	ret = open_candev(dev);
	if (ret)
		return ret;
	spin_lock_irqsave(&priv->card->hw_lock, flags);
	ret = pci5c3a_net_start(priv);
	spin_unlock_irqrestore(&priv->card->hw_lock, flags);
	if (ret) {
		netdev_err(dev, "the controller does not go on the bus: %d\n",
			   ret);
		close_candev(dev);
		return ret;
	}
	netif_start_queue(dev);
	return 0;
}

static int pci5c3a_net_stop(struct net_device *dev)
{
	struct pci5c3a_net *priv = netdev_priv(dev);
	unsigned long flags;

	netif_stop_queue(dev);
	spin_lock_irqsave(&priv->card->hw_lock, flags);
	pci5c3a_quiet(pci5c3a_net_port(priv));
	priv->can.state = CAN_STATE_STOPPED;
	spin_unlock_irqrestore(&priv->card->hw_lock, flags);
	close_candev(dev);
	return 0;
}

/* Restart after bus-off: by restart-ms or `ip link set DEV type can
 * restart`; the framework has dropped the frame that was being sent. */
static int pci5c3a_net_set_mode(struct net_device *dev, enum can_mode mode)
{
	struct pci5c3a_net *priv = netdev_priv(dev);
	unsigned long flags;
	int ret;

	if (mode != CAN_MODE_START)
		return -EOPNOTSUPP;
	spin_lock_irqsave(&priv->card->hw_lock, flags);
	ret = pci5c3a_net_start(priv);
	spin_unlock_irqrestore(&priv->card->hw_lock, flags);
	if (ret)
		return ret;
	netif_wake_queue(dev);
	return 0;
}

static int pci5c3a_net_berr_counter(const struct net_device *dev,
				    struct can_berr_counter *bec)
{
	const struct pci5c3a_net *priv = netdev_priv(dev);
	const struct pci5c3a_port *port = pci5c3a_net_port(priv);
	unsigned long flags;

	spin_lock_irqsave(&priv->card->hw_lock, flags);
	bec->txerr = pci5c3a_read(port, SJA1000_TXERR);
	bec->rxerr = pci5c3a_read(port, SJA1000_RXERR);
	spin_unlock_irqrestore(&priv->card->hw_lock, flags);
	return 0;
}

/*
 * One transmit buffer: the queue stops with each frame and wakes when the
 * transmit interrupt says the buffer is free again.
 */
static netdev_tx_t pci5c3a_net_xmit(struct sk_buff *skb,
				    struct net_device *dev)
{
	struct pci5c3a_net *priv = netdev_priv(dev);
	struct pci5c3a_port *port = pci5c3a_net_port(priv);
	struct can_frame *cf = (struct can_frame *)skb->data;
	bool ext = cf->can_id & CAN_EFF_FLAG;
	unsigned long flags;
	u8 cmd;

	if (can_dev_dropped_skb(dev, skb))
		return NETDEV_TX_OK;

	netif_stop_queue(dev);
	cmd = priv->can.ctrlmode & CAN_CTRLMODE_LOOPBACK ? CMD_SRR : CMD_TR;
	if (priv->can.ctrlmode & CAN_CTRLMODE_ONE_SHOT)
		cmd |= CMD_AT;

	spin_lock_irqsave(&priv->card->hw_lock, flags);
	pci5c3a_load_tx(port, cf->can_id & (ext ? CAN_EFF_MASK : CAN_SFF_MASK),
			ext, cf->can_id & CAN_RTR_FLAG, cf->len, cf->data);
	can_put_echo_skb(skb, dev, 0, 0);
	pci5c3a_write(port, SJA1000_CMR, cmd);
	spin_unlock_irqrestore(&priv->card->hw_lock, flags);
	return NETDEV_TX_OK;
}

static const struct net_device_ops pci5c3a_net_ops = {
	.ndo_open = pci5c3a_net_open,
	.ndo_stop = pci5c3a_net_stop,
	.ndo_start_xmit = pci5c3a_net_xmit,
	.ndo_change_mtu = can_change_mtu,
};

static const struct ethtool_ops pci5c3a_net_ethtool_ops = {
	.get_ts_info = ethtool_op_get_ts_info,
};

/* ---------------------------------------------------------------------- */
/* Interrupts, from the card's handler with its hw_lock held */

static void pci5c3a_net_rx(struct net_device *dev, struct pci5c3a_port *port)
{
	struct net_device_stats *stats = &dev->stats;
	struct pci5c3a_frame f;
	struct can_frame *cf;
	struct sk_buff *skb;
	int n;

	for (n = 0; n < PCI5C3A_NET_MAX_RX; n++) {
		if (!(pci5c3a_read(port, SJA1000_SR) & SR_RBS))
			break;
		pci5c3a_read_rx(port, &f);
		pci5c3a_write(port, SJA1000_CMR, CMD_RRB);
		skb = alloc_can_skb(dev, &cf);
		if (!skb) {
			stats->rx_dropped++;
			continue;
		}
		cf->can_id = f.id;
		if (f.ext)
			cf->can_id |= CAN_EFF_FLAG;
		cf->len = f.len;
		if (f.rtr) {
			cf->can_id |= CAN_RTR_FLAG;
		} else {
			memcpy(cf->data, f.data, f.len);
			stats->rx_bytes += f.len;
		}
		stats->rx_packets++;
		/* netif_rx() stamps the frame: the interrupt's time. */
		netif_rx(skb);
	}
}

static void pci5c3a_net_tx_done(struct net_device *dev,
				struct pci5c3a_port *port)
{
	struct pci5c3a_net *priv = netdev_priv(dev);
	struct net_device_stats *stats = &dev->stats;

	if ((priv->can.ctrlmode & CAN_CTRLMODE_ONE_SHOT) &&
	    !(pci5c3a_read(port, SJA1000_SR) & SR_TCS)) {
		/* One shot: aborted after a lost arbitration or an error. */
		stats->tx_errors++;
		can_free_echo_skb(dev, 0, NULL);
	} else {
		stats->tx_bytes += can_get_echo_skb(dev, 0, NULL);
		stats->tx_packets++;
	}
	netif_wake_queue(dev);
}

/* Data overrun, error warning, error passive, bus error, arbitration
 * lost: one error frame, and the state the counters now mean. */
static void pci5c3a_net_error(struct net_device *dev,
			      struct pci5c3a_port *port, u8 ir)
{
	struct pci5c3a_net *priv = netdev_priv(dev);
	struct net_device_stats *stats = &dev->stats;
	enum can_state state, tx_state, rx_state;
	struct can_frame spare, *cf = &spare;
	u8 sr, ecc = 0, alc = 0, txerr, rxerr;
	struct sk_buff *skb;

	skb = alloc_can_err_skb(dev, &cf);
	if (!skb) {
		/* The state is still tracked; only the report is lost. */
		memset(&spare, 0, sizeof(spare));
		cf = &spare;
	}

	sr = pci5c3a_read(port, SJA1000_SR);
	txerr = pci5c3a_read(port, SJA1000_TXERR);
	rxerr = pci5c3a_read(port, SJA1000_RXERR);
	if (ir & IRQ_DOI) {
		stats->rx_over_errors++;
		stats->rx_errors++;
		pci5c3a_write(port, SJA1000_CMR, CMD_CDO);
	}
	if (ir & IRQ_BEI) {
		/* Reading the capture re-arms it for the next error. */
		ecc = pci5c3a_read(port, SJA1000_ECC);
		priv->can.can_stats.bus_error++;
		if (ecc & ECC_DIR_RX)
			stats->rx_errors++;
		else
			stats->tx_errors++;
	}
	if (ir & IRQ_ALI) {
		alc = pci5c3a_read(port, SJA1000_ALC);
		priv->can.can_stats.arbitration_lost++;
	}

	state = pci5c3a_err_state(sr, txerr, rxerr);
	pci5c3a_err_frame(cf, ir, ecc, alc, txerr, rxerr, state);
	if (state != priv->can.state) {
		pci5c3a_err_sides(state, txerr, rxerr, &tx_state, &rx_state);
		can_change_state(dev, cf, tx_state, rx_state);
		if (state == CAN_STATE_BUS_OFF)
			can_bus_off(dev);
	}
	if (skb)
		netif_rx(skb);
}

/**
 * pci5c3a_net_interrupt() - a network-device port's part of an interrupt
 * @port: the port; the card's hw_lock held
 * @ir: its interrupt register as read (reading acknowledged it)
 */
void pci5c3a_net_interrupt(struct pci5c3a_port *port, u8 ir)
{
	struct net_device *dev = port->ndev;

	if (ir & IRQ_RI)
		pci5c3a_net_rx(dev, port);
	if (ir & IRQ_TI)
		pci5c3a_net_tx_done(dev, port);
	if (ir & (IRQ_DOI | IRQ_EI | IRQ_EPI | IRQ_BEI | IRQ_ALI))
		pci5c3a_net_error(dev, port, ir);
}

/* ---------------------------------------------------------------------- */
/* Personality */

static int pci5c3a_net_add(struct pci5c3a_card *card, int p)
{
	struct pci5c3a_port *port = &card->port[p];
	struct pci5c3a_net *priv;
	struct net_device *dev;
	char group[8];
	int ret;

	dev = alloc_candev(sizeof(*priv), 1);
	if (!dev)
		return -ENOMEM;
	priv = netdev_priv(dev);
	priv->card = card;
	priv->p = p;
	priv->can.clock.freq = card->board->crystal_hz / 2;
	priv->can.bittiming_const = &pci5c3a_bittiming_const;
	priv->can.do_set_bittiming = pci5c3a_net_set_bittiming;
	priv->can.do_set_mode = pci5c3a_net_set_mode;
	priv->can.do_get_berr_counter = pci5c3a_net_berr_counter;
	priv->can.ctrlmode_supported = CAN_CTRLMODE_LOOPBACK |
		CAN_CTRLMODE_LISTENONLY | CAN_CTRLMODE_3_SAMPLES |
		CAN_CTRLMODE_ONE_SHOT | CAN_CTRLMODE_BERR_REPORTING |
		CAN_CTRLMODE_PRESUME_ACK;
	dev->netdev_ops = &pci5c3a_net_ops;
	dev->ethtool_ops = &pci5c3a_net_ethtool_ops;
	dev->flags |= IFF_ECHO;	/* sent frames come back from the driver */
	dev->irq = card->pdev->irq;
	dev->dev_port = p;
	SET_NETDEV_DEV(dev, &card->pdev->dev);

	/* The chip waits in reset mode, as the character device leaves it. */
	spin_lock_irq(&card->hw_lock);
	pci5c3a_quiet(port);
	port->head = 0;
	port->count = 0;
	port->generation++;
	port->ndev = dev;
	spin_unlock_irq(&card->hw_lock);

	ret = register_candev(dev);
	if (ret)
		goto err_free;

	snprintf(group, sizeof(group), "port%d", p);
	ret = sysfs_add_link_to_group(&card->dev->kobj, group, &dev->dev.kobj,
				      "interface");
	if (ret)
		goto err_unregister;
	ret = sysfs_create_link(&dev->dev.kobj, &card->dev->kobj, "card");
	if (ret)
		goto err_link;
	dev_info(&card->pdev->dev, "port %d: network device %s\n", p,
		 dev->name);
	return 0;

err_link:
	sysfs_remove_link_from_group(&card->dev->kobj, group, "interface");
err_unregister:
	unregister_candev(dev);
err_free:
	spin_lock_irq(&card->hw_lock);
	port->ndev = NULL;
	spin_unlock_irq(&card->hw_lock);
	free_candev(dev);
	return ret;
}

/* The links first, while the interface has its name; then the interface
 * (brought down if up), then the port is the character device's again. */
static void pci5c3a_net_del(struct pci5c3a_card *card, int p, bool locked)
{
	struct pci5c3a_port *port = &card->port[p];
	struct net_device *dev = port->ndev;
	char group[8];

	snprintf(group, sizeof(group), "port%d", p);
	sysfs_remove_link(&dev->dev.kobj, "card");
	sysfs_remove_link_from_group(&card->dev->kobj, group, "interface");
	dev_info(&card->pdev->dev, "port %d: network device %s removed\n", p,
		 dev->name);
	if (locked)
		unregister_netdevice(dev);
	else
		unregister_candev(dev);

	spin_lock_irq(&card->hw_lock);
	port->ndev = NULL;
	spin_unlock_irq(&card->hw_lock);
	free_candev(dev);
}

/**
 * pci5c3a_set_personality() - make a port a network device or give it back
 *	to the character device
 * @card: the card; its mutex held, not gone
 * @p: the port
 * @netdev: true for a network device
 *
 * Refused while the port is in use the other way: a file of the character
 * device made a request on it and has not closed it, or its interface is
 * up. The check and the unregistering hold RTNL together, so the interface
 * cannot be brought up in between.
 *
 * Return: 0, -EBUSY, or the error of registering.
 */
int pci5c3a_set_personality(struct pci5c3a_card *card, int p, bool netdev)
{
	struct pci5c3a_port *port = &card->port[p];

	if (!!port->ndev == netdev)
		return 0;
	if (netdev)
		return port->users ? -EBUSY : pci5c3a_net_add(card, p);

	rtnl_lock();
	if (netif_running(port->ndev)) {
		rtnl_unlock();
		return -EBUSY;
	}
	pci5c3a_net_del(card, p, true);
	rtnl_unlock();
	return 0;
}

/* Removal: every interface goes, up or not. */
void pci5c3a_net_remove(struct pci5c3a_card *card)
{
	int p;

	for (p = 0; p < card->ports; p++)
		if (card->port[p].ndev)
			pci5c3a_net_del(card, p, false);
}

/* ---------------------------------------------------------------------- */
/* netdev= : the ports that start as network devices */

static char *netdev_param;
module_param_named(netdev, netdev_param, charp, 0444);
MODULE_PARM_DESC(netdev,
		 "ports that start as SocketCAN network devices, CARD:PORT,... (card 0-3, port 0-1); the others are the character device's");

/* The ports netdev= names, bit CARD * 2 + PORT. */
static unsigned long pci5c3a_netdev_ports;

/* One CARD:PORT entry: its bit in *@mask. */
static int pci5c3a_parse_port(char *entry, int n, void *mask)
{
	char *card = strsep(&entry, ":");
	unsigned int c, p;

	if (!entry || kstrtouint(card, 10, &c) || kstrtouint(entry, 10, &p) ||
	    c >= PCI5C3A_MAX_CARDS || p >= PCI5C3A_PORTS_PER_CARD) {
		pr_err("netdev=: entry %d is not CARD:PORT (card 0-%d, port 0-%d)\n",
		       n, PCI5C3A_MAX_CARDS - 1, PCI5C3A_PORTS_PER_CARD - 1);
		return -EINVAL;
	}
	*(unsigned long *)mask |= BIT(c * PCI5C3A_PORTS_PER_CARD + p);
	return 0;
}

/**
 * pci5c3a_net_parse() - read the netdev= module parameter
 *
 * Return: 0, or -EINVAL (the module does not load) for a malformed list.
 */
int pci5c3a_net_parse(void)
{
	return pci5c3a_parse_list("netdev", netdev_param, pci5c3a_parse_port,
				  &pci5c3a_netdev_ports);
}

/* At probe: the ports netdev= names become network devices. */
void pci5c3a_net_probe(struct pci5c3a_card *card)
{
	int p, ret;

	for (p = 0; p < PCI5C3A_PORTS_PER_CARD; p++) {
		if (!(pci5c3a_netdev_ports &
		      BIT(card->index * PCI5C3A_PORTS_PER_CARD + p)))
			continue;
		if (p >= card->ports) {
			dev_warn(&card->pdev->dev,
				 "netdev=%s: card %d has no port %d\n",
				 netdev_param, card->index, p);
			continue;
		}
		mutex_lock(&card->lock);
		ret = pci5c3a_set_personality(card, p, true);
		mutex_unlock(&card->lock);
		if (ret)
			dev_err(&card->pdev->dev,
				"port %d: no network device: %d\n", p, ret);
	}
}
