/* SPDX-License-Identifier: GPL-2.0-only OR MIT */
/*
 * errframe.h - what a network-device port makes of an SJA1000's error
 * interrupts: the CAN state its status and error counters mean, and the
 * error frame of one interrupt (error code capture, arbitration lost
 * capture, data overrun, the counters), in the layout of Linux's CAN error
 * frames (linux/can/error.h).
 *
 * Pure functions of register values, valid in kernel and user-space C and
 * C++: the driver calls them from its interrupt handler, the tests feed
 * them the registers of the virtual card's controller model.
 */
#ifndef PCI5C3A_ERRFRAME_H
#define PCI5C3A_ERRFRAME_H

#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <linux/types.h>

#include "sja1000.h"

/* Error counter values of the fault confinement states (CAN 2.0B, 7). */
#define PCI5C3A_PASSIVE_LIMIT 128

/*
 * pci5c3a_err_state() - the state a controller is in
 * @sr: its status register
 * @txerr: transmit error counter
 * @rxerr: receive error counter
 *
 * Bus-off is the status bit; error passive, a counter at 128 or more (the
 * chip has no status bit for it, only the EPI interrupt on each crossing);
 * error warning, the status bit ES, set at the error warning limit (EWLR,
 * 96 unless changed) of either counter.
 */
static inline enum can_state pci5c3a_err_state(__u8 sr, __u8 txerr,
					       __u8 rxerr)
{
	if (sr & SR_BS)
		return CAN_STATE_BUS_OFF;
	if (txerr >= PCI5C3A_PASSIVE_LIMIT || rxerr >= PCI5C3A_PASSIVE_LIMIT)
		return CAN_STATE_ERROR_PASSIVE;
	if (sr & SR_ES)
		return CAN_STATE_ERROR_WARNING;
	return CAN_STATE_ERROR_ACTIVE;
}

/*
 * pci5c3a_err_sides() - which side a new state is on, for can_change_state()
 * @state: the new state
 * @txerr: transmit error counter
 * @rxerr: receive error counter
 * @tx_state: the state of the transmit side
 * @rx_state: the state of the receive side
 *
 * The side whose counter is the higher one carries the state, both when
 * they are equal; bus-off is always the transmitter's (only transmit errors
 * lead there, and the chip sets its transmit counter to 127 on entering).
 */
static inline void pci5c3a_err_sides(enum can_state state, __u8 txerr,
				     __u8 rxerr, enum can_state *tx_state,
				     enum can_state *rx_state)
{
	if (state == CAN_STATE_BUS_OFF) {
		*tx_state = state;
		*rx_state = CAN_STATE_ERROR_ACTIVE;
		return;
	}
	*tx_state = txerr >= rxerr ? state : CAN_STATE_ERROR_ACTIVE;
	*rx_state = txerr <= rxerr ? state : CAN_STATE_ERROR_ACTIVE;
}

/*
 * pci5c3a_err_frame() - the error frame of one interrupt
 * @cf: an error frame as alloc_can_err_skb() leaves it: can_id
 *	CAN_ERR_FLAG, length CAN_ERR_DLC, data zero
 * @ir: the interrupt register as read
 * @ecc: the error code capture register, read when @ir has IRQ_BEI
 * @alc: the arbitration lost capture register, read when @ir has IRQ_ALI
 * @txerr: transmit error counter
 * @rxerr: receive error counter
 * @state: the controller's state (pci5c3a_err_state())
 *
 * A bus error gives its type (bit, form, stuff; "other" has no class of
 * its own), the frame segment (the chip's segment codes are the values of
 * CAN_ERR_PROT_LOC_*) and whether it was transmitting; arbitration lost
 * gives the bit; a data overrun, the controller's receive overflow. The
 * counters are reported in every state but bus-off. State changes are
 * can_change_state()'s to add.
 */
static inline void pci5c3a_err_frame(struct can_frame *cf, __u8 ir, __u8 ecc,
				     __u8 alc, __u8 txerr, __u8 rxerr,
				     enum can_state state)
{
	if (ir & IRQ_DOI) {
		cf->can_id |= CAN_ERR_CRTL;
		cf->data[1] |= CAN_ERR_CRTL_RX_OVERFLOW;
	}
	if (ir & IRQ_BEI) {
		cf->can_id |= CAN_ERR_PROT | CAN_ERR_BUSERROR;
		switch (ecc & ECC_TYPE_MASK) {
		case ECC_BIT:
			cf->data[2] |= CAN_ERR_PROT_BIT;
			break;
		case ECC_FORM:
			cf->data[2] |= CAN_ERR_PROT_FORM;
			break;
		case ECC_STUFF:
			cf->data[2] |= CAN_ERR_PROT_STUFF;
			break;
		default:
			break;
		}
		cf->data[3] = ecc & ECC_SEG_MASK;
		if (!(ecc & ECC_DIR_RX))
			cf->data[2] |= CAN_ERR_PROT_TX;
	}
	if (ir & IRQ_ALI) {
		cf->can_id |= CAN_ERR_LOSTARB;
		cf->data[0] = alc & ALC_BIT_MASK;
	}
	if (state != CAN_STATE_BUS_OFF) {
		cf->can_id |= CAN_ERR_CNT;
		cf->data[6] = txerr;
		cf->data[7] = rxerr;
	}
}

#endif /* PCI5C3A_ERRFRAME_H */
