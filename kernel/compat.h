/* SPDX-License-Identifier: GPL-2.0-only OR MIT */
/*
 * compat.h - the kernel interfaces that changed between the kernels the
 * driver is built for (Debian 12's 6.1 and 6.12), in one place.
 */
#ifndef PCI5C3A_COMPAT_H
#define PCI5C3A_COMPAT_H

#include <linux/device.h>
#include <linux/fs.h>
#include <linux/version.h>

/* 6.4 dropped class_create()'s module argument. */
static inline struct class *pci5c3a_class_create(const char *name)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 4, 0)
	return class_create(name);
#else
	return class_create(THIS_MODULE, name);
#endif
}

/*
 * 6.12 allocates a file's owner record on the first F_SETOWN; NULL means
 * nobody claimed the file. Before, it was part of struct file.
 */
static inline struct fown_struct *pci5c3a_file_owner(struct file *filp)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 12, 0)
	return file_f_owner(filp);
#else
	return &filp->f_owner;
#endif
}

#endif /* PCI5C3A_COMPAT_H */
