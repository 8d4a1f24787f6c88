// SPDX-License-Identifier: GPL-2.0-only OR MIT
/*
 * notify.c - receive notification: each frame queued for a port raises
 * signal 63 (port 0) or 62 (port 1) once in the owner (F_SETOWN) of every
 * open file of the card that has the port's notification on.
 *
 * The interrupt handler only moves the port's frame count on; a work item
 * works out what each listening file is owed and signals in process
 * context, where the target's signal lock (a sleeping lock on PREEMPT_RT)
 * may be taken. Only listening files are visited, and no lock a request or
 * a removal waits for is held while signalling.
 */

#include <linux/cred.h>
#include <linux/fs.h>
#include <linux/pid.h>
#include <linux/rcupdate.h>
#include <linux/sched/signal.h>

#include "compat.h"
#include "pci5c3a.h"

/**
 * struct pci5c3a_owner - a file's owner, as F_SETOWN or F_SETOWN_EX left it
 * @pid: the owner, a reference held
 * @type: PIDTYPE_PID for a thread (F_OWNER_TID), PIDTYPE_TGID for a
 *	process, PIDTYPE_PGID for a process group
 * @uid: real uid of whoever set the owner
 * @euid: their effective uid
 */
struct pci5c3a_owner {
	struct pid *pid;
	enum pid_type type;
	kuid_t uid;
	kuid_t euid;
};

/* Reads a file's owner under the owner's lock. Return: false for none. */
static bool pci5c3a_owner_get(struct file *filp, struct pci5c3a_owner *o)
{
	struct fown_struct *fown = pci5c3a_file_owner(filp);
	unsigned long flags;

	if (!fown)
		return false;
	read_lock_irqsave(&fown->lock, flags);
	o->pid = get_pid(fown->pid);
	o->type = fown->pid_type;
	o->uid = fown->uid;
	o->euid = fown->euid;
	read_unlock_irqrestore(&fown->lock, flags);
	return o->pid;
}

/**
 * pci5c3a_may_signal() - may the setter of a file's owner signal a task
 * @o: the owner
 * @p: the task; under rcu_read_lock()
 *
 * The rule SIGIO follows: F_SETOWN must not let a user signal (and so, with
 * a real-time signal's default action, kill) other users' processes.
 *
 * Return: true when the signal may go to @p.
 */
static bool pci5c3a_may_signal(const struct pci5c3a_owner *o,
			       struct task_struct *p)
{
	const struct cred *cred = __task_cred(p);

	return uid_eq(o->euid, GLOBAL_ROOT_UID) ||
	       uid_eq(o->euid, cred->suid) || uid_eq(o->euid, cred->uid) ||
	       uid_eq(o->uid, cred->suid) || uid_eq(o->uid, cred->uid);
}

/*
 * One signal, delivered as the kernel delivers SIGIO: a thread owner gets
 * it on that thread, a process owner process-wide, a process group owner
 * in each member process; the uid rule is checked for each target in the
 * same RCU section as the send, so it holds for the task signalled. The
 * signal is sent as the kernel's own (SEND_SIG_PRIV): the uid rule above is
 * the only check, the security modules are not asked.
 */
static void pci5c3a_signal_once(const struct pci5c3a_owner *o, int sig)
{
	struct task_struct *p;

	rcu_read_lock();
	switch (o->type) {
	case PIDTYPE_PID:
		p = pid_task(o->pid, PIDTYPE_PID);
		if (p && pci5c3a_may_signal(o, p))
			send_sig_info(sig, SEND_SIG_PRIV, p);
		break;
	case PIDTYPE_PGID:
		do_each_pid_task(o->pid, PIDTYPE_PGID, p) {
			if (pci5c3a_may_signal(o, p))
				kill_pid(task_tgid(p), sig, 1);
		} while_each_pid_task(o->pid, PIDTYPE_PGID, p);
		break;
	default:
		p = pid_task(o->pid, PIDTYPE_TGID);
		if (p && pci5c3a_may_signal(o, p))
			kill_pid(o->pid, sig, 1);
		break;
	}
	rcu_read_unlock();
}

/*
 * Signals a file is owed on a port; the card's @hw_lock held. Frames are
 * counted from the moment notification was turned on: a file that turns it
 * on gets none for frames already queued, one that turns it off still gets
 * those queued before.
 */
static unsigned int pci5c3a_take_due(struct pci5c3a_file *f,
				     struct pci5c3a_port *port, int p)
{
	unsigned int n = f->due[p];

	if (f->notify[p])
		n += port->queued - f->seen[p];
	f->due[p] = 0;
	f->seen[p] = port->queued;
	return n;
}

/**
 * pci5c3a_signal_work() - raise the receive notifications that are due
 * @work: the card's @signal_work
 *
 * Each port's listeners are taken off its list at once and put back one by
 * one as they are served; a file closed meanwhile takes itself off either
 * list under the same lock, so none is signalled after its release. The
 * owner is copied (a pid reference) before the lock is dropped.
 */
void pci5c3a_signal_work(struct work_struct *work)
{
	struct pci5c3a_card *card = container_of(work, struct pci5c3a_card,
						 signal_work);
	static const int sig[PCI5C3A_PORTS_PER_CARD] = {
		PCI5C3A_SIG_PORT0, PCI5C3A_SIG_PORT1
	};
	struct pci5c3a_owner owner;
	struct pci5c3a_port *port;
	struct pci5c3a_file *f;
	unsigned int n;
	bool found;
	LIST_HEAD(todo);
	int p;

	for (p = 0; p < card->ports; p++) {
		port = &card->port[p];
		spin_lock_irq(&card->hw_lock);
		list_splice_init(&port->listeners, &todo);
		while (!list_empty(&todo)) {
			f = list_first_entry(&todo, struct pci5c3a_file,
					     listen[p]);
			n = pci5c3a_take_due(f, port, p);
			if (f->notify[p])
				list_move_tail(&f->listen[p], &port->listeners);
			else
				list_del_init(&f->listen[p]);
			if (!n)
				continue;
			found = pci5c3a_owner_get(f->filp, &owner);
			spin_unlock_irq(&card->hw_lock);
			if (found) {
				while (n--)
					pci5c3a_signal_once(&owner, sig[p]);
				put_pid(owner.pid);
			}
			cond_resched();
			spin_lock_irq(&card->hw_lock);
		}
		spin_unlock_irq(&card->hw_lock);
	}
}

/* REQ_EVENT_PORT0/1, REQ_PORT_CLOSE and release. */
void pci5c3a_set_notify(struct pci5c3a_file *f, int p, bool on)
{
	struct pci5c3a_card *card = f->card;
	struct pci5c3a_port *port = &card->port[p];

	spin_lock_irq(&card->hw_lock);
	if (f->notify[p] != on) {
		if (on) {
			f->seen[p] = port->queued;
			if (list_empty(&f->listen[p]))
				list_add_tail(&f->listen[p], &port->listeners);
		} else {
			f->due[p] += port->queued - f->seen[p];
			f->seen[p] = port->queued;
		}
		f->notify[p] = on;
	}
	spin_unlock_irq(&card->hw_lock);
}
